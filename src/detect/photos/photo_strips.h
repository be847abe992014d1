// The check sheet of the photos detector: per entry, a strip of small crops
// of the photos in which it stood out, so that the user sees what the map
// rests on. A hot pixel shows as the same dot on ever different
// surroundings; scene detail that repeats (a point light of a series from a
// tripod, which the detector cannot tell from a hot pixel when the camera
// never moved) shows the same surroundings in every crop.
//
// Call order: construct with the entries, offer() photos until full() or
// the folder ends (each crop is judged as the whole photo was, so only
// photos in which the entry stood out give a crop), then render().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/photos/photo_findings.h"
#include "detect/photos/photo_judgement.h"

namespace speckmend {

struct PhotoStripLayout {
    int crop = 15;  // photo pixels per side, odd
    int zoom = 5;
    int perEntry = 8;
    std::size_t mostEntries = 200;  // the weakest spots beyond these are left out
};

class PhotoStrips {
public:
    PhotoStrips(const PhotoFindings& findings, const PhotoJudgementSettings& judging,
                const PhotoStripLayout& layout = PhotoStripLayout());

    // `photo`: 8-bit, as the detector read it.
    void offer(const cv::Mat& photo);
    bool full() const;

    // An 8-bit three-channel picture.
    cv::Mat render() const;

private:
    struct Entry {
        Finding finding;
        std::string why;  // empty for a spot of the map
        cv::Point2i seen;
        std::vector<cv::Mat> crops;
    };

    PhotoJudgementSettings judging_;
    PhotoStripLayout layout_;
    std::size_t spotCount_ = 0;
    std::size_t spotsShown_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace speckmend

// The evidence of a folder of photographs, per pixel: in how many photos it
// could be judged, in how many of those it stood out, and by how much in
// all. Photos are added one at a time and never kept, so the memory is
// these counts (8 bytes a pixel) whatever the folder's size.
#pragma once

#include <cstdint>
#include <mutex>

#include <opencv2/core.hpp>

#include "detect/photos/photo_judgement.h"

namespace speckmend {

class EvidenceCounts {
public:
    explicit EvidenceCounts(cv::Size size);

    // Adds one photo's judgement, of the counts' size (std::invalid_argument
    // otherwise). Safe to call from several threads at once. A count stops
    // at 65535 photos.
    void add(const PhotoJudgement& judgement);

    cv::Size size() const { return judged_.size(); }
    const cv::Mat& judged() const { return judged_; }            // CV_16UC1
    const cv::Mat& bright() const { return bright_; }            // CV_16UC1
    const cv::Mat& strengthSum() const { return strengthSum_; }  // CV_32FC1, DN summed over the bright photos

    // How often a judged pixel stands out by chance: the events of pixels
    // that stood out once only, over all judgements. A hot pixel stands out
    // again and again and so does not raise it. Not to be called while
    // photos are being added.
    double chanceRate() const;

    // Pixels that stood out in at least two photos and in at least half of
    // those that judged them: what may become a finding. Safe while photos
    // are being added (for the progress line).
    std::int64_t candidates() const;

private:
    mutable std::mutex mutex_;
    cv::Mat judged_;
    cv::Mat bright_;
    cv::Mat strengthSum_;
};

}  // namespace speckmend

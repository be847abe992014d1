// The pass over a folder of photographs: each photo read, judged
// (photo_judgement.h) and added to the folder's evidence
// (evidence_counts.h), on one thread per core.
//
// The first photo that can be read fixes the size and the channel count;
// photos of another size or kind are refused as badDimension. Memory: the
// counts and, per thread, one photo and its judgement.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/photos/evidence_counts.h"
#include "detect/photos/photo_judgement.h"
#include "detect/run/frame_averager.h"

namespace speckmend {

struct SurveyProgress {
    std::int32_t read = 0;   // photos read so far, in any order
    std::int32_t total = 0;  // names in the folder
    std::int64_t candidates = 0;
};

class PhotoSurvey {
public:
    using Report = std::function<void(const std::string& fileName, FrameResult result)>;
    using Progress = std::function<void(const SurveyProgress&)>;

    // `threads`: 0 for one per core.
    explicit PhotoSurvey(const PhotoJudgementSettings& settings, int threads = 0);

    // Reads the photos named; `report` is called on the calling thread for
    // each name in order, once it has been added or refused, and `progress`
    // every `interval` while the calling thread waits. Gives the number of
    // photos added. An exception from a callback or a reader passes on after
    // the readers have stopped.
    std::int32_t survey(const std::vector<std::string>& fileNames, const Report& report, const Progress& progress,
                        std::chrono::milliseconds interval = std::chrono::seconds(5));

    // Empty when no photo was added.
    const EvidenceCounts* counts() const { return counts_.get(); }
    // The first photo added, grey, when asked for before survey(); empty otherwise.
    const cv::Mat& firstPhoto() const { return first_; }
    void keepFirstPhoto() { keepFirst_ = true; }

private:
    // Reads up to the first photo that can be read into `photo`, reporting
    // the others, and sizes the counts after it; its index, -1 for none.
    int readFirstPhoto(const std::vector<std::string>& fileNames, const Report& report, cv::Mat& photo);
    // Checks a photo read (empty: unreadable) against the first photo's
    // size and type, judges and adds it.
    FrameResult addPhoto(const cv::Mat& photo, PhotoJudgement& judgement, cv::Size size, int type);

    PhotoJudgementSettings settings_;
    int threads_;
    bool keepFirst_ = false;
    std::unique_ptr<EvidenceCounts> counts_;
    cv::Mat first_;
};

}  // namespace speckmend

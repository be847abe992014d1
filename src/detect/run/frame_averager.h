// The mean of the dark frames: each frame is added to a float accumulator
// as it is read, and the sum becomes the mean once all are in.
//
// Call order: addFrame or addFrames for the frames, finishMean once, then
// mean(). The frames are never held together: the memory is the accumulator
// and one frame per reading thread, however many frames the folder holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/run/frame_buffer_pool.h"

namespace speckmend {

enum class FrameResult {
    added,
    unreadable,    // not an image the decoder knows, or no file at all
    badDimension,  // size or channel count differs from the first added frame
};

class FrameAverager {
public:
    // With `keepColour`, colour frames are read and averaged in their three
    // channels; otherwise every frame is read as grey.
    explicit FrameAverager(bool keepColour);

    FrameAverager(const FrameAverager&) = delete;
    FrameAverager& operator=(const FrameAverager&) = delete;

    // `frame` is 8-bit single-channel or empty, or with `keepColour` also
    // 8-bit three-channel; other types are a caller error
    // (std::invalid_argument). The first frame with a size fixes the size
    // and channel count; a frame that differs from it is refused as
    // badDimension.
    FrameResult addFrame(const cv::Mat& frame);

    // Reads and adds the frames named, in order, decoding them on several
    // threads; `report` is called on the calling thread for each name in
    // order, as soon as its frame has been added or refused. An exception
    // from `report` or from adding stops the readers and passes on.
    void addFrames(const std::vector<std::string>& fileNames,
                   const std::function<void(const std::string& fileName, FrameResult result)>& report);

    // frameCount is the number of frames added, at least 1.
    void finishMean(std::int32_t frameCount);

    // The sum before finishMean, the mean after it: 32-bit float with the
    // frames' channels, empty before the first frame with a size. Images
    // made from it share its storage.
    const cv::Mat& mean() const { return accumulator_; }

    void release() { accumulator_.release(); }

private:
    class Reading;

    bool keepColour_;
    FrameBufferPool pool_;  // declared before the images: it must outlive them
    cv::Mat accumulator_;   // CV_32FC1, or CV_32FC3 for colour frames
};

}  // namespace speckmend

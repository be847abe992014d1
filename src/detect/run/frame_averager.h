// The mean of the dark frames: each frame is added to a float accumulator
// as it is read, and the sum becomes the mean once all are in.
//
// Call order: addFrame or addFrames for the frames, finishMean once, then
// mean(). The frames are never held together: the memory is the accumulator
// and one frame per reading thread, however many frames the folder holds.
// 8-bit frames are summed in 16 bits in the upper half of the mean's
// storage, so that until finishMean the accumulator holds half its size.
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
    // With `asStored`, frames are read and averaged as stored: colour ones
    // in their three channels, 16-bit ones in their 16 bits (readFrame);
    // otherwise every frame is read as 8-bit grey.
    explicit FrameAverager(bool asStored);

    FrameAverager(const FrameAverager&) = delete;
    FrameAverager& operator=(const FrameAverager&) = delete;

    // `frame` is 8-bit single-channel or empty, or with `asStored` also
    // three-channel and 16-bit; other types are a caller error
    // (std::invalid_argument). The first frame with a size fixes the size,
    // channel count and depth; a frame that differs from it is refused as
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

    // What finishMeanThrough hands each stripe of rows to: `source` holds
    // the mean's rows `wide` as floats (CV_32F, the frames' channels), which
    // are the stripe's own rows `own` and up to `reach` rows either side,
    // as far as the frame has them; `target` is rows `own` of the storage of
    // mean(), to be written whole from them.
    using StripeWork = std::function<void(const cv::Mat& source, cv::Range wide, cv::Range own, cv::Mat& target)>;

    // Instead of finishMean, for a pass that reads the mean only to write
    // something else of its size over it (the histogram detector's
    // smoothing): the mean is never whole, each stripe of it is made from
    // the sum as `work` needs it, and mean() is then what `work` wrote.
    // Saves the pass that writes the whole mean. Only while 8-bit frames are
    // summed in 16 bits; otherwise returns false having done nothing, and
    // finishMean is still to be called. `work` runs on several threads.
    bool finishMeanThrough(std::int32_t frameCount, int reach, const StripeWork& work);

    // The stripes finishMeanThrough hands over for a frame of `height` rows,
    // round after round, the stripes of a round in parallel: together every
    // row once, in order; none of one row unless the frame is.
    static std::vector<std::vector<cv::Range>> stripeRounds(int height, int reach);

    // The mean after finishMean: 32-bit float with the frames' channels.
    // Before it the sum: of 8-bit frames 16-bit unsigned (float once more
    // than kMostSixteenBitFrames are in), of 16-bit ones float; empty before
    // the first frame with a size. Images made from it share its storage.
    const cv::Mat& mean() const { return sum_.empty() ? accumulator_ : sum_; }

    // The float image mean() becomes, whose storage holds the sum until
    // then; empty before the first frame with a size.
    const cv::Mat& meanStorage() const { return accumulator_; }

    void release() {
        sum_.release();
        accumulator_.release();
    }

    // The depth of the frames added (CV_8U or CV_16U), and how many bits
    // their values use: 8 for 8-bit frames; for 16-bit ones the even number
    // of low bits that holds every sample added (12 for the raw values of a
    // 12-bit sensor stored in 16 bits), 16 when the high ones are used.
    int depth() const { return depth_; }
    std::int32_t valueBits() const;

    // 8-bit frames are summed in 16 bits while they cannot overflow them:
    // half the memory to pass over per frame, and half the storage.
    static constexpr std::int32_t kMostSixteenBitFrames = 65535 / 255;

private:
    class Reading;

    void widen(double scale);
    void handOverPages();

    bool asStored_;
    int depth_ = CV_8U;
    std::int32_t highestSample_ = 0;
    FrameBufferPool pool_;  // declared before the images: it must outlive them
    cv::Mat accumulator_;   // CV_32FC1, or CV_32FC3 for colour frames
    cv::Mat sum_;           // 16-bit sum of 8-bit frames, in accumulator_'s storage; empty once widened
    std::int32_t summed_ = 0;  // frames in sum_
};

}  // namespace speckmend

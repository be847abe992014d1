// Adding frames into the mean, one after the other or read on several
// threads.
#include "detect/run/frame_averager.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/common/row_stripes.h"
#include "detect/run/frame_reader.h"

namespace speckmend {
namespace {

// As many readers as the image library runs threads, at most 4: one knob for
// the whole run (the cores the process may use, as taskset sets them, or
// cv::setNumThreads), so that a run confined to one core reads on one thread.
std::size_t readerCount() { return std::clamp<std::size_t>(static_cast<std::size_t>(cv::getNumThreads()), 1, 4); }

// The 16-bit image of the float image's size and channels in the upper half
// of its storage.
cv::Mat upperHalf(const cv::Mat& floats) {
    const std::size_t n = floats.total() * static_cast<std::size_t>(floats.channels());
    return cv::Mat(floats.rows, floats.cols, CV_16UC(floats.channels()), floats.data + n * sizeof(std::uint16_t));
}

// sum += frame, element by element; the sum holds no more than
// kMostSixteenBitFrames frames, so it never overflows.
void addBytes(const cv::Mat& frame, cv::Mat& sum) {
    const int n = frame.cols * frame.channels();
    for (int y = 0; y < frame.rows; ++y) {
        const std::uint8_t* in = frame.ptr<std::uint8_t>(y);
        std::uint16_t* out = sum.ptr<std::uint16_t>(y);
        int x = 0;
#if CV_SIMD
        constexpr int kLanes = cv::v_uint8::nlanes;
        constexpr int kHalf = cv::v_uint16::nlanes;
        for (; x + kLanes <= n; x += kLanes) {
            cv::v_uint16 low, high;
            cv::v_expand(cv::vx_load(in + x), low, high);
            cv::v_store(out + x, cv::v_add_wrap(cv::vx_load(out + x), low));
            cv::v_store(out + x + kHalf, cv::v_add_wrap(cv::vx_load(out + x + kHalf), high));
        }
#endif
        for (; x < n; ++x) out[x] = static_cast<std::uint16_t>(out[x] + in[x]);
    }
}

// The float sources of finishMeanThrough's stripes, kept from stripe to
// stripe and round to round: one made per thread at work instead of one per
// stripe, each a fresh block of megabytes that the system would zero page
// by page. Each buffer is as large as the largest source (buffers fitted to
// each stripe's height multiply, the stripes' heights varying from round to
// round); a stripe's source is an image of its own over the buffer's start,
// so that it has no rows around it in its storage, which the library's
// filters would read in place of the border they make at the frame's edges.
class StripeSources {
public:
    StripeSources(int rows, int cols, int type) : rows_(rows), cols_(cols), type_(type) {}

    cv::Mat take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                cv::Mat buffer = free_.back();
                free_.pop_back();
                return buffer;
            }
        }
        return cv::Mat(rows_, cols_, type_);
    }

    void give(const cv::Mat& buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(buffer);
    }

private:
    int rows_, cols_, type_;
    std::mutex mutex_;
    std::vector<cv::Mat> free_;
};

}  // namespace

// One addFrames call. Each reader takes the next entry of the listing,
// decodes it into its own buffer and adds it. Until a frame has fixed the
// size, entries are settled strictly in listing order, so the first readable
// one decides; after that the order of adding 8-bit frames does not matter
// (their sums are exact integers in float) and readers only take turns at the
// accumulator. 16-bit sums stay exact only up to 256 frames, so 16-bit frames
// are added in listing order: the mean is then the same, bit for bit, on any
// number of threads. The calling thread reports the entries in listing order
// as they are settled.
class FrameAverager::Reading {
public:
    Reading(FrameAverager& averager, const std::vector<std::string>& fileNames)
        : averager_(averager),
          fileNames_(fileNames),
          results_(fileNames.size(), FrameResult::unreadable),
          settled_(fileNames.size(), 0),
          sized_(!averager.accumulator_.empty()) {}

    void run(const std::function<void(const std::string&, FrameResult)>& report) {
        const std::size_t readers = std::min(readerCount(), std::max<std::size_t>(fileNames_.size(), 1));
        // Whatever leaves this function, the readers are stopped and joined
        // first: they refer to this object.
        try {
            threads_.reserve(readers);
            for (std::size_t r = 0; r < readers; ++r) threads_.emplace_back([this] { read(); });
            reportInOrder(report);
        } catch (...) {
            fail(std::current_exception());
            join();
            throw;
        }
        join();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // One reader's loop.
    void read() {
        std::vector<unsigned char> fileBytes;
        cv::Mat frame;
        frame.allocator = &averager_.pool_;
        for (std::size_t i = take(); i != kNone; i = take()) {
            try {
                readFrame(fileNames_[i], fileBytes, frame, averager_.asStored_);
                bool deciding = false;
                if (!waitForTurn(i, frame.depth() == CV_16U, deciding)) return;
                settle(i, add(frame, deciding), deciding);
            } catch (...) {
                fail(std::current_exception());
                return;
            }
        }
    }

    // The next entry to read, or kNone when all are taken or the call fails.
    std::size_t take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failure_ || next_ >= fileNames_.size()) return kNone;
        return next_++;
    }

    // Waits until entry i may be added: at once when the size is fixed and
    // the order does not matter, else when every earlier entry is settled.
    // `deciding`: the size is not fixed yet, so no other reader adds until
    // this one has. False when the call fails meanwhile.
    bool waitForTurn(std::size_t i, bool inOrder, bool& deciding) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return (sized_ && !inOrder) || turn_ == i || failure_; });
        deciding = !sized_;
        return !failure_;
    }

    FrameResult add(const cv::Mat& frame, bool deciding) {
        if (deciding) return averager_.addFrame(frame);
        std::lock_guard<std::mutex> lock(adding_);
        return averager_.addFrame(frame);
    }

    void settle(std::size_t i, FrameResult result, bool deciding) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (deciding && result == FrameResult::added) sized_ = true;
            results_[i] = result;
            settled_[i] = 1;
            while (turn_ < fileNames_.size() && settled_[turn_]) ++turn_;
        }
        changed_.notify_all();
    }

    void fail(std::exception_ptr reason) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_) failure_ = reason;
        }
        changed_.notify_all();
    }

    void reportInOrder(const std::function<void(const std::string&, FrameResult)>& report) {
        std::size_t reported = 0;
        while (reported < fileNames_.size()) {
            std::size_t ready = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return turn_ > reported || failure_; });
                if (failure_) return;
                ready = turn_;
            }
            for (; reported < ready; ++reported) report(fileNames_[reported], results_[reported]);
        }
    }

    void join() {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

    FrameAverager& averager_;
    const std::vector<std::string>& fileNames_;
    std::vector<FrameResult> results_;
    std::vector<char> settled_;
    std::mutex mutex_;  // guards what follows, and results_ and settled_
    std::condition_variable changed_;
    std::size_t next_ = 0;  // the entry to be taken next
    std::size_t turn_ = 0;  // entries before it are settled
    bool sized_;
    std::exception_ptr failure_;
    std::mutex adding_;  // serialises additions once sized
    std::vector<std::thread> threads_;
};

FrameAverager::FrameAverager(bool asStored) : asStored_(asStored), pool_(readerCount() + 1) {}

FrameResult FrameAverager::addFrame(const cv::Mat& frame) {
    if (frame.empty()) return FrameResult::unreadable;
    const bool grey = frame.channels() == 1;
    const bool stored =
        asStored_ && (frame.channels() == 3 || grey) && (frame.depth() == CV_8U || frame.depth() == CV_16U);
    if (!stored && frame.type() != CV_8UC1) {
        throw std::invalid_argument("FrameAverager::addFrame needs an 8-bit grey frame");
    }
    if (accumulator_.empty()) {
        // The first frame, in one pass, on stripes of rows in parallel: every
        // other reader waits for this frame to fix the size, and most of the
        // pass is the system providing the sum's fresh pages. Each element is
        // converted on its own, so the stripes give the whole-frame
        // conversion's values.
        accumulator_.allocator = &pool_;
        accumulator_.create(frame.size(), CV_32FC(frame.channels()));
        depth_ = frame.depth();
        cv::Mat first = accumulator_;
        if (depth_ == CV_8U) {
            sum_ = upperHalf(accumulator_);
            summed_ = 0;
            first = sum_;
        }
        const RowStripes stripes({0, frame.rows});
        cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
            for (int s = range.start; s < range.end; ++s) {
                cv::Mat rows = first.rowRange(stripes[s]);
                frame.rowRange(stripes[s]).convertTo(rows, first.depth());
            }
        });
    } else if (frame.rows != accumulator_.rows || frame.cols != accumulator_.cols ||
               frame.channels() != accumulator_.channels() || frame.depth() != depth_) {
        // Frames of another depth count in other units.
        return FrameResult::badDimension;
    } else if (!sum_.empty() && summed_ < kMostSixteenBitFrames) {
        addBytes(frame, sum_);
    } else {
        // Sums of 8-bit values stay exact in float up to 65,793 frames (of
        // 16-bit ones up to 256, and they are added in order), so this
        // equals converting the frame to float and adding it.
        if (!sum_.empty()) widen(1.0);
        cv::accumulate(frame, accumulator_);
    }
    if (!sum_.empty()) ++summed_;
    if (depth_ == CV_16U) {
        double highest = 0.0;
        cv::minMaxLoc(frame.reshape(1), nullptr, &highest);
        highestSample_ = std::max(highestSample_, static_cast<std::int32_t>(highest));
    }
    return FrameResult::added;
}

// The 16-bit sum lies in the upper half of the float image's block, whose
// lower half the system has not even provided yet. Turning it into floats in
// place: float i lands on the bytes of sums 2i - n and 2i - n + 1 (n
// elements in all), which are at or before sum i. So each round converts the
// first half of the sums left, in parallel, whose floats then end where the
// sums still to be read begin; the last few are copied out first (the
// library's conversion may read the end of its input again after writing).
void FrameAverager::widen(double scale) {
    const std::size_t n = accumulator_.total() * static_cast<std::size_t>(accumulator_.channels());
    const auto* sums = reinterpret_cast<const std::uint16_t*>(sum_.data);
    auto* floats = reinterpret_cast<float*>(accumulator_.data);
    const auto convert = [&](std::size_t from, std::size_t count) {
        // One long row: the elements are independent of their place in the
        // frame.
        const cv::Mat in(1, static_cast<int>(count), CV_16UC1, const_cast<std::uint16_t*>(sums + from));
        cv::Mat out(1, static_cast<int>(count), CV_32FC1, floats + from);
        in.convertTo(out, CV_32F, scale, 0.0);
    };
    constexpr std::size_t kChunk = std::size_t{1} << 18;
    std::size_t done = 0;
    while (n - done > kChunk) {
        const std::size_t count = (n - done) / 2;
        const int chunks = static_cast<int>((count + kChunk - 1) / kChunk);
        cv::parallel_for_(cv::Range(0, chunks), [&](const cv::Range& range) {
            for (int c = range.start; c < range.end; ++c) {
                const std::size_t from = done + static_cast<std::size_t>(c) * kChunk;
                convert(from, std::min(kChunk, done + count - from));
            }
        });
        done += count;
    }
    if (done < n) {
        const std::vector<std::uint16_t> last(sums + done, sums + n);
        const cv::Mat in(1, static_cast<int>(last.size()), CV_16UC1, const_cast<std::uint16_t*>(last.data()));
        cv::Mat out(1, static_cast<int>(last.size()), CV_32FC1, floats + done);
        in.convertTo(out, CV_32F, scale, 0.0);
    }
    sum_.release();
}

std::int32_t FrameAverager::valueBits() const {
    if (depth_ != CV_16U) return 8;
    std::int32_t bits = 8;
    while (bits < 16 && highestSample_ >= (1 << bits)) bits += 2;
    return bits;
}

void FrameAverager::addFrames(const std::vector<std::string>& fileNames,
                              const std::function<void(const std::string&, FrameResult)>& report) {
    Reading(*this, fileNames).run(report);
}

// The frames' buffers are not needed again; the mean's floats take their
// place in memory. Below the 16-bit sum they take their very pages: the
// floats overwrite that half before they read any of it.
void FrameAverager::handOverPages() {
    if (sum_.empty()) {
        pool_.dropFree();
    } else {
        pool_.moveFreeInto(accumulator_.data, static_cast<std::size_t>(sum_.data - accumulator_.data));
    }
}

void FrameAverager::finishMean(std::int32_t frameCount) {
    if (frameCount < 1) throw std::invalid_argument("FrameAverager::finishMean needs at least one frame");
    handOverPages();
    if (!sum_.empty()) {
        // Scaling the 16-bit sum gives the floats scaling its float copy
        // would give: the library converts both in float.
        widen(1.0 / static_cast<double>(frameCount));
        return;
    }
    // Each element is scaled on its own, so stripes of rows in parallel give
    // the whole-frame conversion's values.
    const double scale = 1.0 / static_cast<double>(frameCount);
    const RowStripes stripes({0, accumulator_.rows});
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            cv::Mat rows = accumulator_.rowRange(stripes[s]);
            rows.convertTo(rows, CV_32F, scale, 0.0);
        }
    });
}

// The stripes write floats over the 16-bit sum they are made from: float
// row y lies on the bytes of sum rows 2y - H and 2y - H + 1 (H rows in all),
// so writing rows [a, b) destroys sum rows [2a - H, 2b - H), all above a.
// A round of stripes run in parallel over rows [start, end) reads sum rows
// from start - reach on, as every later round does; it may destroy only
// rows above those, so end is at most (H + start - reach) / 2. Each round
// thus takes about half the rows left. The last few stripes go one after
// the other, each read before it is written: stripe [a, b) then destroys
// rows below 2b - H, which the stripes after it (from b - reach on) no
// longer read while b <= H - reach, so the last stripe is at least reach
// rows high. No stripe is a single row unless the frame is, which the
// image library's filter takes as a case of its own.
std::vector<std::vector<cv::Range>> FrameAverager::stripeRounds(int height, int reach) {
    constexpr int kStripeRows = 128;
    const int tail = std::max({reach, 2, kStripeRows});
    std::vector<std::vector<cv::Range>> rounds;
    int start = 0;
    while (height - start > 2 * tail) {
        const int end = (height + start - reach) / 2;
        if (end - start < 2) break;
        // Stripes of at least two rows: a short last one joins the one before.
        const int count = std::max((end - start) / kStripeRows, 1);
        std::vector<cv::Range>& round = rounds.emplace_back();
        for (int s = 0; s < count; ++s) {
            const int from = start + s * kStripeRows;
            round.emplace_back(from, s + 1 == count ? end : from + kStripeRows);
        }
        start = end;
    }
    while (start < height) {
        const int end = height - start < 2 * tail ? height : start + tail;
        rounds.push_back({cv::Range(start, end)});
        start = end;
    }
    return rounds;
}

bool FrameAverager::finishMeanThrough(std::int32_t frameCount, int reach, const StripeWork& work) {
    if (frameCount < 1) throw std::invalid_argument("FrameAverager::finishMeanThrough needs at least one frame");
    if (sum_.empty()) return false;
    handOverPages();
    const double scale = 1.0 / static_cast<double>(frameCount);
    const int height = accumulator_.rows;
    const auto widened = [&](cv::Range own) {
        return cv::Range(std::max(own.start - reach, 0), std::min(own.end + reach, height));
    };
    const std::vector<std::vector<cv::Range>> rounds = stripeRounds(height, reach);
    int tallest = 0;
    for (const std::vector<cv::Range>& round : rounds) {
        for (const cv::Range& own : round) tallest = std::max(tallest, widened(own).size());
    }
    StripeSources sources(tallest, accumulator_.cols, accumulator_.type());
    for (const std::vector<cv::Range>& round : rounds) {
        cv::parallel_for_(cv::Range(0, static_cast<int>(round.size())), [&](const cv::Range& range) {
            for (int s = range.start; s < range.end; ++s) {
                const cv::Range own = round[static_cast<std::size_t>(s)];
                const cv::Range wide = widened(own);
                const cv::Mat buffer = sources.take();
                cv::Mat source(wide.size(), buffer.cols, buffer.type(), buffer.data);
                sum_.rowRange(wide).convertTo(source, CV_32F, scale, 0.0);
                cv::Mat target = accumulator_.rowRange(own);
                work(source, wide, own, target);
                sources.give(buffer);
            }
        });
    }
    sum_.release();
    return true;
}

}  // namespace speckmend

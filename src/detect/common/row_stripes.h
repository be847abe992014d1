// Rows of a frame cut into stripes for threads.
//
// The passes over every pixel of a frame (the histogram and the scan of the
// histogram detector, the scan of the local detector) run stripe by stripe on
// OpenCV's threads. Each stripe gathers its results on its own and they are
// joined in stripe order afterwards, so the joined result is in scan order
// and is what one thread would give, whichever thread ran which stripe.
//
// Stripes are a fixed number of rows (the last one shorter) rather than one
// per thread: a few dozen rows give every thread many stripes, so a thread
// slowed down by other work on a shared machine holds up little, and a
// stripe's rows stay in cache while it is worked on. The height does not
// follow the thread count, so that a result that depends on where stripes
// end (the local detector keeps a bounded list of near misses per stripe)
// is the same on every machine.
#pragma once

#include <algorithm>

#include <opencv2/core.hpp>

namespace speckmend {

class RowStripes {
public:
    static constexpr int kRows = 32;

    // Rows [rows.start, rows.end) in stripes of `height` rows, at least 1.
    explicit RowStripes(cv::Range rows, int height = kRows) : rows_(rows), height_(std::max(height, 1)) {}

    int count() const { return rows_.end > rows_.start ? (rows_.end - rows_.start + height_ - 1) / height_ : 0; }

    cv::Range operator[](int index) const {
        const int start = rows_.start + index * height_;
        return {start, std::min(start + height_, rows_.end)};
    }

private:
    cv::Range rows_;
    int height_;
};

}  // namespace speckmend

// The frame minus its background at any pixel, as the colour site test
// reads it: around a site, channel by channel.
//
// Residuals works each value out as asked; ResidualRows keeps the rows
// about the pixel last asked for, for a pass over pixels in raster order
// whose neighbourhoods overlap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/local_background.h"
#include "detect/local/site_footprint.h"

namespace speckmend {

// The frame minus its background, anywhere; positions beyond the edge take
// the nearest pixel inside.
class Residuals {
public:
    Residuals(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds)
        : mean_(mean), backgrounds_(backgrounds) {}

    float at(int x, int y, int c) const {
        x = std::clamp(x, 0, mean_.cols - 1);
        y = std::clamp(y, 0, mean_.rows - 1);
        return mean_.ptr<float>(y)[x * mean_.channels() + c] - backgrounds_[static_cast<std::size_t>(c)]->at(x, y);
    }

    // Channel by channel, 2 reach + 1 rows of as many, centred on (x, y).
    void patch(int x, int y, int reach, float* out) const {
        for (int c = 0; c < mean_.channels(); ++c) {
            for (int dy = -reach; dy <= reach; ++dy) {
                for (int dx = -reach; dx <= reach; ++dx) *out++ = at(x + dx, y + dy, c);
            }
        }
    }

private:
    const cv::Mat& mean_;
    const std::vector<const LocalBackground*>& backgrounds_;
};

// Residuals::at about one row at a time, each pixel worked out once: the
// site test reads each residual of a pixel's core for every tested pixel
// whose core holds it, nine times over where the tested pixels crowd
// around the standouts. Holds the 2 reach + 1 rows about the row last
// asked for, filled a pixel (all channels) at a time as first read; pixels
// are asked for in raster order of their rows, so a row stays while it is
// in reach. The values are Residuals::at's own.
class ResidualRows {
public:
    ResidualRows(const Residuals& residuals, cv::Size size, int channels, int reach)
        : residuals_(residuals),
          size_(size),
          channels_(channels),
          reach_(reach),
          slots_(static_cast<std::size_t>(2 * reach + 1)) {
        if (reach < 0 || reach > SiteFootprint::kSpread) throw std::invalid_argument("ResidualRows: reach");
        for (Slot& slot : slots_) {
            slot.values.resize(static_cast<std::size_t>(size.width) * channels);
            slot.filled.assign(static_cast<std::size_t>(size.width), 0);
        }
    }

    // As Residuals::patch, reach at most the one the rows were made for
    // and SiteFootprint::kSpread.
    void patch(int x, int y, int reach, float* out) {
        // More rows than are held would take each other's places.
        if (reach < 0 || reach > reach_) throw std::invalid_argument("ResidualRows::patch: reach beyond the rows held");
        const int side = 2 * reach + 1;
        int columns[kMostSide];
        const float* rows[kMostSide];
        for (int d = -reach; d <= reach; ++d) columns[d + reach] = std::clamp(x + d, 0, size_.width - 1);
        for (int d = -reach; d <= reach; ++d) {
            const int row = std::clamp(y + d, 0, size_.height - 1);
            Slot& slot = slotOf(row);
            for (int i = 0; i < side; ++i) fill(slot, row, columns[i]);
            rows[d + reach] = slot.values.data();
        }
        for (int c = 0; c < channels_; ++c) {
            for (int dy = 0; dy < side; ++dy) {
                for (int dx = 0; dx < side; ++dx) *out++ = rows[dy][columns[dx] * channels_ + c];
            }
        }
    }

private:
    static constexpr int kMostSide = 2 * SiteFootprint::kSpread + 1;

    struct Slot {
        int row = -1;
        std::uint32_t generation = 1;  // filled[x] == generation: x holds row's values
        std::vector<float> values;     // channels interleaved
        std::vector<std::uint32_t> filled;
    };

    Slot& slotOf(int row) {
        Slot& slot = slots_[static_cast<std::size_t>(row) % slots_.size()];
        if (slot.row != row) {
            slot.row = row;
            if (++slot.generation == 0) {
                std::fill(slot.filled.begin(), slot.filled.end(), 0);
                slot.generation = 1;
            }
        }
        return slot;
    }

    void fill(Slot& slot, int row, int x) {
        if (slot.filled[static_cast<std::size_t>(x)] == slot.generation) return;
        for (int c = 0; c < channels_; ++c)
            slot.values[static_cast<std::size_t>(x) * channels_ + c] = residuals_.at(x, row, c);
        slot.filled[static_cast<std::size_t>(x)] = slot.generation;
    }

    const Residuals& residuals_;
    cv::Size size_;
    int channels_;
    int reach_;
    std::vector<Slot> slots_;
};

}  // namespace speckmend

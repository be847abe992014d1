// The discs' repaired samples of a photo's subsampled components; the
// reasoning is in the header and in sample_plane.h.
#include "heal/lossless_jpeg/disc_samples.h"

#include <algorithm>
#include <unordered_map>

#include <opencv2/imgproc.hpp>

#include "heal/inpaint/region_inpainter.h"
#include "heal/inpaint/repair_mask.h"
#include "heal/lossless_jpeg/sample_plane.h"

namespace speckmend {

namespace {

// Components of one sampling, repaired together: they share the units, the
// mask and the reach, so up to three go together.
struct SampledGroup {
    int stepX = 1, stepY = 1;
    cv::Size plane;
    std::vector<int> components;
};

std::vector<SampledGroup> subsampledGroups(j_decompress_ptr source) {
    std::vector<SampledGroup> groups;
    if (source->num_components < 2) return groups;
    int maxH = 1, maxV = 1;
    for (int c = 0; c < source->num_components; ++c)
        maxH = std::max(maxH, source->comp_info[c].h_samp_factor),
        maxV = std::max(maxV, source->comp_info[c].v_samp_factor);
    for (int c = 0; c < source->num_components; ++c) {
        const jpeg_component_info& info = source->comp_info[c];
        if (info.h_samp_factor == maxH && info.v_samp_factor == maxV) continue;
        const int stepX = maxH / info.h_samp_factor, stepY = maxV / info.v_samp_factor;
        auto same = [&](const SampledGroup& g) {
            return g.stepX == stepX && g.stepY == stepY && g.components.size() < 3;
        };
        auto found = std::find_if(groups.begin(), groups.end(), same);
        if (found == groups.end()) {
            SampledGroup& group = groups.emplace_back();
            group.stepX = stepX;
            group.stepY = stepY;
            group.plane = {static_cast<int>((source->image_width + stepX - 1) / stepX),
                           static_cast<int>((source->image_height + stepY - 1) / stepY)};
            found = groups.end() - 1;
        }
        found->components.push_back(c);
    }
    return groups;
}

// The discs whose grown samples lie in a rectangle, found through square
// cells of the plane rather than by trying every disc.
class DiscIndex {
public:
    DiscIndex(const std::vector<cv::Rect>& grown, int cell) : grown_(grown), cell_(cell), seen_(grown.size(), 0) {
        for (std::size_t i = 0; i < grown.size(); ++i)
            forCells(grown[i], [&](std::int64_t key) { cells_[key].push_back(i); });
    }

    // The discs, ascending, whose grown boxes meet rect.
    const std::vector<std::size_t>& meeting(const cv::Rect& rect) {
        ++stamp_;
        found_.clear();
        forCells(rect, [&](std::int64_t key) {
            const auto cell = cells_.find(key);
            if (cell == cells_.end()) return;
            for (std::size_t i : cell->second)
                if (seen_[i] != stamp_ && !(grown_[i] & rect).empty()) seen_[i] = stamp_, found_.push_back(i);
        });
        std::sort(found_.begin(), found_.end());
        return found_;
    }

private:
    template <typename Visit>
    void forCells(const cv::Rect& rect, Visit&& visit) const {
        if (rect.empty()) return;
        for (int y = rect.y / cell_; y <= (rect.br().y - 1) / cell_; ++y)
            for (int x = rect.x / cell_; x <= (rect.br().x - 1) / cell_; ++x)
                visit((static_cast<std::int64_t>(y) << 32) + x);
    }

    const std::vector<cv::Rect>& grown_;
    int cell_;
    std::unordered_map<std::int64_t, std::vector<std::size_t>> cells_;
    std::vector<unsigned> seen_;
    unsigned stamp_ = 0;
    std::vector<std::size_t> found_;
};

constexpr int kIndexCell = 32;  // samples

// What a unit's fill reads, in its frame: the samples within the radius of
// its discs' boxes, clipped to the plane (inside the unit's reach). The
// group's components are decoded from the source's blocks there, and the
// unit's grown samples are 255 in masked. No other disc's grown samples lie
// in the reach, so its ring is whole.
struct UnitSamples {
    cv::Rect frame;  // in samples of the plane
    std::vector<cv::Mat> components;
    cv::Mat masked;
};

void readUnit(j_decompress_ptr source, jvirt_barray_ptr* arrays, const SampledGroup& group,
              const std::vector<cv::Rect>& boxes, const SampleUnit& plan, const HotPixelMap& discs, int radius,
              UnitSamples& unit) {
    const cv::Rect photo(0, 0, static_cast<int>(source->image_width), static_cast<int>(source->image_height));
    cv::Rect all = boxes[plan.discs.front()];
    for (std::size_t i : plan.discs) all |= boxes[i];
    unit.frame = cv::Rect(all.x - radius, all.y - radius, all.width + 2 * radius, all.height + 2 * radius) &
                 cv::Rect({}, group.plane);
    // The discs' pixels lie in the footprints of their boxes.
    const cv::Rect pixels =
        cv::Rect(all.x * group.stepX, all.y * group.stepY, all.width * group.stepX, all.height * group.stepY) & photo;
    cv::Mat pixelMask(pixels.size(), CV_8UC1, cv::Scalar(0));
    drawRepairMask(discs, pixelMask, pixels.tl());
    const cv::Mat touched = touchedSamples(pixelMask, group.stepX, group.stepY);
    cv::Mat placed(unit.frame.size(), CV_8UC1, cv::Scalar(0));
    const cv::Point shift = all.tl() - unit.frame.tl();
    const cv::Rect at = cv::Rect(shift, touched.size()) & cv::Rect({}, unit.frame.size());
    touched(at - shift).copyTo(placed(at));
    const cv::Mat ring = cv::Mat::ones(2 * kSkippedSampleRing + 1, 2 * kSkippedSampleRing + 1, CV_8UC1);
    cv::dilate(placed, unit.masked, ring);
    unit.components.resize(group.components.size());
    for (std::size_t k = 0; k < group.components.size(); ++k)
        unit.components[k] = decodeSampleRect(source, arrays[group.components[k]], group.components[k], unit.frame);
}

// Appends the unit's repaired boxes of its discs, component k's to
// values[k]: a masked sample filled, an unmasked one as it is. False (and
// values as they were) when a masked sample has no unmasked one within the
// radius, which only a plane hardly larger than the unit or a radius
// narrower than the ring can leave.
bool fillUnit(const UnitSamples& unit, const SampleUnit& plan, const std::vector<cv::Rect>& boxes,
              const RingFill& fill, std::vector<std::vector<unsigned char>>& values,
              std::vector<std::uint32_t>& offsets) {
    const std::size_t before = values.front().size();
    for (std::size_t i : plan.discs) {
        offsets[i] = static_cast<std::uint32_t>(values.front().size());
        const cv::Rect box = boxes[i] - unit.frame.tl();
        const int count = static_cast<int>(unit.components.size());
        unsigned char filled[RingFill::kMostPlanes];
        for (int y = box.y; y < box.br().y; ++y)
            for (int x = box.x; x < box.br().x; ++x) {
                for (int k = 0; k < count; ++k) filled[k] = unit.components[k].at<unsigned char>(y, x);
                if (unit.masked.at<unsigned char>(y, x) != 0 &&
                    !fill.fill(unit.components.data(), count, unit.masked, {x, y}, filled)) {
                    for (std::vector<unsigned char>& v : values) v.resize(before);
                    return false;
                }
                for (int k = 0; k < count; ++k) values[k].push_back(filled[k]);
            }
    }
    return true;
}

}  // namespace

void DiscSamples::repair(j_decompress_ptr source, jvirt_barray_ptr* arrays, const HotPixelMap& map,
                         const std::vector<cv::Rect>& discs, const std::vector<std::size_t>& pixelOf, double range) {
    planes_.assign(static_cast<std::size_t>(std::max(source->num_components, 0)), Plane{});
    const int margin = RegionInpainter::marginFor(sampleRange(range));
    if (margin == 0 || discs.empty()) return;
    const cv::Rect photo(0, 0, static_cast<int>(source->image_width), static_cast<int>(source->image_height));
    // The fill reads within the radius of a grown sample; the reach holds
    // the margin, one sample more.
    const RingFill fill(margin - 1);
    for (const SampledGroup& group : subsampledGroups(source)) {
        const cv::Rect bounds({}, group.plane);
        std::vector<cv::Rect> boxes(discs.size()), grown(discs.size());
        for (std::size_t i = 0; i < discs.size(); ++i) {
            boxes[i] = samplesOf(discs[i] & photo, group.stepX, group.stepY) & bounds;
            grown[i] = ringedSamples(boxes[i], group.plane);
        }
        std::vector<std::vector<unsigned char>> values(group.components.size());
        std::vector<std::uint32_t> offsets(discs.size(), 0);
        DiscIndex index(grown, kIndexCell);
        HotPixelMap nearby{{}, map.width, map.height};
        UnitSamples samples;
        for (const SampleUnit& unit : planSampleUnits(boxes, group.plane, margin)) {
            // A unit with another's disc in its reach is crowded: its
            // discs keep the mean of their repaired pixels (header), and
            // so do those of a unit the fill cannot complete.
            bool filled = index.meeting(unit.reach).size() == unit.discs.size();
            if (filled) {
                nearby.pixels.clear();
                for (std::size_t i : unit.discs) nearby.pixels.push_back(map.pixels[pixelOf[i]]);
                readUnit(source, arrays, group, boxes, unit, nearby, fill.radius(), samples);
                filled = fillUnit(samples, unit, boxes, fill, values, offsets);
            }
            if (!filled)
                for (std::size_t i : unit.discs) boxes[i] = {};
        }
        for (std::size_t k = 0; k < group.components.size(); ++k) {
            Plane& plane = planes_[static_cast<std::size_t>(group.components[k])];
            plane.repaired = true;
            plane.boxes = boxes;
            plane.offsets = offsets;
            plane.values = std::move(values[k]);
        }
    }
}

void DiscSamples::paint(int c, std::size_t disc, cv::Mat& samples, cv::Mat& painted, cv::Point origin) const {
    if (!has(c)) return;
    const Plane& plane = planes_[static_cast<std::size_t>(c)];
    if (disc >= plane.boxes.size()) return;
    const cv::Rect box = plane.boxes[disc];
    const cv::Rect inside = (box - origin) & cv::Rect({}, samples.size());
    for (int y = inside.y; y < inside.br().y; ++y) {
        const unsigned char* from =
            plane.values.data() + plane.offsets[disc] + static_cast<std::size_t>(y + origin.y - box.y) * box.width;
        unsigned char* to = samples.ptr<unsigned char>(y);
        unsigned char* mark = painted.ptr<unsigned char>(y);
        for (int x = inside.x; x < inside.br().x; ++x) to[x] = from[x + origin.x - box.x], mark[x] = 255;
    }
}

}  // namespace speckmend

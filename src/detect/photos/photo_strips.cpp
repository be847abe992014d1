// Rendering the strips of the photos detector's check sheet.
#include "detect/photos/photo_strips.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

const cv::Scalar kBackground(32, 32, 32);
const cv::Scalar kText(230, 230, 230);
const cv::Scalar kFound(80, 200, 80);
const cv::Scalar kRejected(60, 60, 230);
constexpr int kLabelWidth = 190;
constexpr int kHeaderHeight = 30;
constexpr int kMargin = 6;
// The crop a photo is judged on around an entry: the ring, the median and
// the peak test of the whole photo, with room to spare.
constexpr int kJudgedHalf = 15;

// Stretched from its median to its centre's brightest channel, as the
// other check sheet does, enlarged, the centre outlined.
cv::Mat enlarged(const cv::Mat& crop, int zoom, const cv::Scalar& mark) {
    cv::Mat colour;
    if (crop.channels() == 1) {
        cv::cvtColor(crop, colour, cv::COLOR_GRAY2BGR);
    } else {
        colour = crop;
    }
    std::vector<uchar> values(colour.datastart, colour.dataend);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    const float low = values[values.size() / 2];
    const cv::Vec3b centre = colour.at<cv::Vec3b>(colour.rows / 2, colour.cols / 2);
    const float span = std::max(static_cast<float>(std::max({centre[0], centre[1], centre[2]})) - low, 4.0f);
    cv::Mat stretched;
    colour.convertTo(stretched, CV_8UC3, 255.0 / span, -low * 255.0 / span);
    cv::Mat big;
    cv::resize(stretched, big, cv::Size(), zoom, zoom, cv::INTER_NEAREST);
    const int half = crop.cols / 2;
    cv::rectangle(big, cv::Rect(half * zoom - 1, half * zoom - 1, zoom + 2, zoom + 2), mark, 1);
    return big;
}

}  // namespace

PhotoStrips::PhotoStrips(const PhotoFindings& findings, const PhotoJudgementSettings& judging,
                         const PhotoStripLayout& layout)
    : judging_(judging), layout_(layout) {
    if (layout_.crop < 1 || layout_.crop % 2 == 0 || layout_.zoom < 1 || layout_.perEntry < 1) {
        throw std::invalid_argument("PhotoStrips: bad layout");
    }
    const std::vector<Finding>& spots = findings.findings.spots;
    spotCount_ = spots.size();
    std::vector<std::size_t> order(spots.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&spots](std::size_t a, std::size_t b) { return spots[a].strength > spots[b].strength; });
    if (order.size() > layout_.mostEntries) order.resize(layout_.mostEntries);
    spotsShown_ = order.size();
    for (std::size_t i : order) entries_.push_back({spots[i], "", findings.seen[i], {}});
    for (std::size_t i = 0; i < findings.findings.rejected.size(); ++i) {
        entries_.push_back(
            {findings.findings.rejected[i], findings.rejectedWhy[i], findings.seen[spots.size() + i], {}});
    }
}

bool PhotoStrips::full() const {
    return std::all_of(entries_.begin(), entries_.end(),
                       [this](const Entry& e) { return static_cast<int>(e.crops.size()) >= layout_.perEntry; });
}

void PhotoStrips::offer(const cv::Mat& photo) {
    const cv::Rect frame(0, 0, photo.cols, photo.rows);
    const int half = layout_.crop / 2;
    for (Entry& entry : entries_) {
        if (static_cast<int>(entry.crops.size()) >= layout_.perEntry) continue;
        const cv::Point p = entry.finding.peak;
        if (!frame.contains(p)) continue;
        const cv::Rect around =
            cv::Rect(p.x - kJudgedHalf, p.y - kJudgedHalf, 2 * kJudgedHalf + 1, 2 * kJudgedHalf + 1) & frame;
        const PhotoJudgement judged = judgePhoto(photo(around), judging_);
        const cv::Point centre(p.x - around.x, p.y - around.y);
        if (std::none_of(judged.events.begin(), judged.events.end(),
                         [centre](const PhotoEvent& e) { return e.at == centre; })) {
            continue;
        }
        cv::Mat crop(layout_.crop, layout_.crop, photo.type(), cv::Scalar::all(0));
        const cv::Rect wanted(p.x - half, p.y - half, layout_.crop, layout_.crop);
        const cv::Rect inside = wanted & frame;
        photo(inside).copyTo(crop(cv::Rect(inside.x - wanted.x, inside.y - wanted.y, inside.width, inside.height)));
        entry.crops.push_back(crop);
    }
}

cv::Mat PhotoStrips::render() const {
    const int side = layout_.crop * layout_.zoom;
    const int rowHeight = side + 2 * kMargin;
    const int width = kLabelWidth + layout_.perEntry * (side + kMargin) + kMargin;
    cv::Mat sheet(kHeaderHeight + std::max<int>(1, static_cast<int>(entries_.size())) * rowHeight, std::max(width, 480),
                  CV_8UC3, kBackground);
    std::string header = std::to_string(spotCount_) + " hot pixel(s), " +
                         std::to_string(entries_.size() - spotsShown_) + " rejected shown";
    if (spotsShown_ < spotCount_) header += " (strongest " + std::to_string(spotsShown_) + " shown)";
    header += "; each row: the photos it stood out in";
    cv::putText(sheet, header, cv::Point(kMargin, kHeaderHeight - 10), cv::FONT_HERSHEY_SIMPLEX, 0.5, kText, 1,
                cv::LINE_AA);
    char text[96];
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        const cv::Scalar& colour = e.why.empty() ? kFound : kRejected;
        const int top = kHeaderHeight + static_cast<int>(i) * rowHeight + kMargin;
        std::snprintf(text, sizeof text, "%d,%d", e.finding.peak.x, e.finding.peak.y);
        cv::putText(sheet, text, cv::Point(kMargin, top + 16), cv::FONT_HERSHEY_SIMPLEX, 0.45, kText, 1, cv::LINE_AA);
        std::snprintf(text, sizeof text, "+%.1f DN  r=%d", e.finding.strength, e.finding.radius);
        cv::putText(sheet, text, cv::Point(kMargin, top + 36), cv::FONT_HERSHEY_SIMPLEX, 0.4, colour, 1, cv::LINE_AA);
        std::snprintf(text, sizeof text, "seen in %d of %d%s%s", e.seen.x, e.seen.y, e.why.empty() ? "" : ", ",
                      e.why.empty() ? "" : ("rejected: " + e.why).c_str());
        cv::putText(sheet, text, cv::Point(kMargin, top + 56), cv::FONT_HERSHEY_SIMPLEX, 0.4, colour, 1, cv::LINE_AA);
        for (std::size_t c = 0; c < e.crops.size(); ++c) {
            const int left = kLabelWidth + static_cast<int>(c) * (side + kMargin);
            enlarged(e.crops[c], layout_.zoom, colour).copyTo(sheet(cv::Rect(left, top, side, side)));
            cv::rectangle(sheet, cv::Rect(left - 1, top - 1, side + 2, side + 2), colour, 1);
        }
    }
    return sheet;
}

}  // namespace speckmend

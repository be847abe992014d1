// Rendering of the check sheet.
#include "detect/run/check_sheet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

const cv::Scalar kBackground(32, 32, 32);
const cv::Scalar kText(230, 230, 230);
const cv::Scalar kFound(80, 200, 80);     // green frame: reported
const cv::Scalar kRejected(60, 60, 230);  // red frame: below threshold
const cv::Scalar kLine(230, 160, 60);     // blue frame: hot line
const cv::Scalar kWarning(0, 170, 255);   // orange frame: an entry wider than kWideRadius
const cv::Scalar kCause(0, 230, 230);     // yellow: the stronger neighbour a candidate was rejected for
// An entry that repairs more than a disc of this radius is worth a second
// look before healing a shoot with the map.
constexpr int kWideRadius = 8;
constexpr int kLabelHeight = 34;
constexpr int kHeaderHeight = 30;
constexpr int kMargin = 6;
constexpr double kTextScale = 0.4;

struct Cell {
    cv::Point centre;
    std::string first;
    std::string second;
    cv::Scalar frame;
    cv::Point cause{-1, -1};  // marked in the crop, or on its edge towards it
};

const char* reasonWord(Rejection reason) {
    switch (reason) {
    case Rejection::weak: return "weak";
    case Rejection::neighbour: return "neighbour";
    case Rejection::glint: return "glint";
    case Rejection::leak: return "leak";
    case Rejection::none: break;
    }
    return "rejected";
}

// A line's span along it, for its label: empty for a whole line.
std::string spanText(const HotLine& line) {
    if (line.whole()) return "";
    return "  " + std::to_string(line.from) + " to " + (line.to == HotLine::kToEnd ? "end" : std::to_string(line.to));
}

// The crop's centre for a line: the middle of its span.
cv::Point lineCentre(const HotLine& line, cv::Size frame) {
    const bool column = line.axis == HotLine::Axis::column;
    const int length = column ? frame.height : frame.width;
    const int last = line.to == HotLine::kToEnd ? length - 1 : std::min(line.to, length - 1);
    const int middle = line.from + (last - line.from) / 2;
    return column ? cv::Point(line.position, middle) : cv::Point(middle, line.position);
}

// The stronger neighbour outlined where the crop holds it, else a bar on
// the crop's edge where the way to it leaves the crop.
void markCause(cv::Mat& big, cv::Point centre, cv::Point cause, const CheckSheetLayout& layout) {
    const int half = layout.crop / 2, z = layout.zoom;
    const cv::Point d = cause - centre;
    if (std::abs(d.x) <= half && std::abs(d.y) <= half) {
        cv::rectangle(big, cv::Rect((d.x + half) * z - 1, (d.y + half) * z - 1, z + 2, z + 2), kCause, 1);
        return;
    }
    const double scale = static_cast<double>(half) / std::max(std::abs(d.x), std::abs(d.y));
    const cv::Point edge(static_cast<int>(std::lround(d.x * scale)) + half,
                         static_cast<int>(std::lround(d.y * scale)) + half);
    cv::rectangle(big, cv::Rect(edge.x * z, edge.y * z, z, z), kCause, cv::FILLED);
}

// The crop around `centre`, stretched from its median to the centre's value
// (a brighter neighbour saturates rather than hiding the centre), enlarged,
// with the centre pixel outlined. What lies beyond the frame's edge shows as
// the sheet's background.
cv::Mat enlargedCrop(const cv::Mat& mean, cv::Point centre, const CheckSheetLayout& layout, const cv::Scalar& mark) {
    const int half = layout.crop / 2;
    const int channels = mean.channels();
    std::vector<float> values;
    for (int y = std::max(centre.y - half, 0); y <= std::min(centre.y + half, mean.rows - 1); ++y) {
        for (int x = std::max(centre.x - half, 0); x <= std::min(centre.x + half, mean.cols - 1); ++x) {
            const float* in = mean.ptr<float>(y) + static_cast<std::ptrdiff_t>(x) * channels;
            values.insert(values.end(), in, in + channels);
        }
    }
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    const float low = values[values.size() / 2];
    const cv::Point inside(std::clamp(centre.x, 0, mean.cols - 1), std::clamp(centre.y, 0, mean.rows - 1));
    const float* peak = mean.ptr<float>(inside.y) + static_cast<std::ptrdiff_t>(inside.x) * channels;
    // A flat crop stays dark instead of blowing up its rounding noise.
    const float span = std::max(*std::max_element(peak, peak + channels) - low, 4.0f);

    cv::Mat small(layout.crop, layout.crop, CV_8UC3, kBackground);
    for (int dy = -half; dy <= half; ++dy) {
        const int y = centre.y + dy;
        if (y < 0 || y >= mean.rows) continue;
        for (int dx = -half; dx <= half; ++dx) {
            const int x = centre.x + dx;
            if (x < 0 || x >= mean.cols) continue;
            const float* in = mean.ptr<float>(y) + static_cast<std::ptrdiff_t>(x) * channels;
            cv::Vec3b& out = small.at<cv::Vec3b>(dy + half, dx + half);
            for (int c = 0; c < 3; ++c) {
                out[c] = cv::saturate_cast<uchar>((in[channels == 1 ? 0 : c] - low) * 255.0f / span);
            }
        }
    }
    cv::Mat big;
    cv::resize(small, big, cv::Size(), layout.zoom, layout.zoom, cv::INTER_NEAREST);
    const int z = layout.zoom;
    cv::rectangle(big, cv::Rect(half * z - 1, half * z - 1, z + 2, z + 2), mark, 1);
    return big;
}

std::string format(const char* pattern, double a, double b = 0.0) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

}  // namespace

cv::Mat renderCheckSheet(const cv::Mat& mean, const Findings& findings, const CheckSheetLayout& layout) {
    if (mean.empty() || mean.depth() != CV_32F || (mean.channels() != 1 && mean.channels() != 3)) {
        throw std::invalid_argument("renderCheckSheet needs a float image of one or three channels");
    }
    if (layout.crop < 1 || layout.zoom < 1 || layout.columns < 1) {
        throw std::invalid_argument("renderCheckSheet: bad layout");
    }

    std::vector<Cell> cells;
    for (const HotLine& line : findings.lines) {
        const bool column = line.axis == HotLine::Axis::column;
        cells.push_back({lineCentre(line, mean.size()), (column ? "column " : "row ") + std::to_string(line.position),
                         "r=" + std::to_string(line.r) + spanText(line), line.r > kWideRadius ? kWarning : kLine});
    }
    std::vector<const Finding*> spots;
    for (const Finding& spot : findings.spots) spots.push_back(&spot);
    std::stable_sort(spots.begin(), spots.end(),
                     [](const Finding* a, const Finding* b) { return a->strength > b->strength; });
    if (spots.size() > layout.mostSpots) spots.resize(layout.mostSpots);
    for (const Finding* spot : spots) {
        cells.push_back({spot->peak, std::to_string(spot->peak.x) + "," + std::to_string(spot->peak.y),
                         format("+%.1f DN  r=%.0f", spot->strength, spot->radius),
                         spot->radius > kWideRadius ? kWarning : kFound});
    }
    for (const Finding& miss : findings.rejected) {
        cells.push_back({miss.peak, std::to_string(miss.peak.x) + "," + std::to_string(miss.peak.y),
                         format("+%.1f DN ", miss.strength) + reasonWord(miss.reason), kRejected,
                         miss.reason == Rejection::neighbour ? miss.cause : cv::Point(-1, -1)});
    }

    const int side = layout.crop * layout.zoom;
    const int cellWidth = std::max(side, 120) + 2 * kMargin;
    const int cellHeight = side + kLabelHeight + 2 * kMargin;
    const int columns = std::max(1, std::min<int>(layout.columns, static_cast<int>(cells.size())));
    const int rows = (static_cast<int>(cells.size()) + columns - 1) / columns;
    cv::Mat sheet(kHeaderHeight + std::max(rows, 1) * cellHeight, std::max(columns * cellWidth, 480), CV_8UC3,
                  kBackground);

    std::string header = std::to_string(findings.spots.size()) + " hot pixel(s), " +
                         std::to_string(findings.lines.size()) + " hot line(s), " +
                         std::to_string(findings.rejected.size()) + " rejected shown";
    if (findings.spots.size() > spots.size())
        header += " (strongest " + std::to_string(spots.size()) + " pixels shown)";
    cv::putText(sheet, header, cv::Point(kMargin, kHeaderHeight - 10), cv::FONT_HERSHEY_SIMPLEX, 0.5, kText, 1,
                cv::LINE_AA);

    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        const int left = static_cast<int>(i % static_cast<std::size_t>(columns)) * cellWidth + kMargin;
        const int top = kHeaderHeight + static_cast<int>(i / static_cast<std::size_t>(columns)) * cellHeight + kMargin;
        cv::Mat crop = enlargedCrop(mean, cell.centre, layout, cell.frame);
        if (cell.cause.x >= 0) markCause(crop, cell.centre, cell.cause, layout);
        crop.copyTo(sheet(cv::Rect(left, top, side, side)));
        cv::rectangle(sheet, cv::Rect(left - 2, top - 2, side + 4, side + 4), cell.frame, 2);
        cv::putText(sheet, cell.first, cv::Point(left, top + side + 14), cv::FONT_HERSHEY_SIMPLEX, kTextScale, kText, 1,
                    cv::LINE_AA);
        cv::putText(sheet, cell.second, cv::Point(left, top + side + 29), cv::FONT_HERSHEY_SIMPLEX, kTextScale,
                    cell.frame, 1, cv::LINE_AA);
    }
    return sheet;
}

std::vector<Finding> spotsAt(const cv::Mat& mean, const std::vector<cv::Point>& points, std::int32_t radius,
                             const CheckSheetLayout& layout) {
    if (mean.empty() || mean.type() != CV_32FC1) throw std::invalid_argument("spotsAt needs a CV_32FC1 mean");
    std::vector<Finding> spots;
    const int half = layout.crop / 2;
    std::vector<float> around;
    for (const cv::Point& p : points) {
        if (p.x < 0 || p.y < 0 || p.x >= mean.cols || p.y >= mean.rows) {
            throw std::invalid_argument("spotsAt: position outside the mean");
        }
        const cv::Rect crop =
            cv::Rect(p.x - half, p.y - half, layout.crop, layout.crop) & cv::Rect(0, 0, mean.cols, mean.rows);
        around.clear();
        for (int y = crop.y; y < crop.y + crop.height; ++y) {
            around.insert(around.end(), mean.ptr<float>(y) + crop.x, mean.ptr<float>(y) + crop.x + crop.width);
        }
        std::nth_element(around.begin(), around.begin() + static_cast<std::ptrdiff_t>(around.size() / 2), around.end());
        Finding finding;
        finding.peak = p;
        finding.radius = radius;
        finding.strength = mean.at<float>(p) - around[around.size() / 2];
        spots.push_back(finding);
    }
    return spots;
}

}  // namespace speckmend

// Planning and drawing the harder sets' defects.
#include "shoot/defects.h"

#include <algorithm>
#include <cmath>

#include "shoot/random.h"

namespace shoot {

namespace {

float uniform(Random& random, float low, float high) { return low + (high - low) * static_cast<float>(random.unit()); }

bool coin(Random& random) { return (random.next() & 1) != 0; }

// Partial columns and rows start at an edge and stop inside the frame (a
// column's readout broken at one pixel); short segments lie inside it.
std::vector<LineDefect> planSegments(Random& random, int w, int h) {
    std::vector<LineDefect> lines;
    auto fromEdge = [&](bool column, int at, float share, float amplitude) {
        const int length = column ? h : w;
        const int span = std::max(2, static_cast<int>(share * static_cast<float>(length)));
        const bool fromStart = coin(random);
        lines.push_back({column, at, fromStart ? 0 : length - span, fromStart ? span - 1 : length - 1, amplitude});
    };
    auto inside = [&](bool column, int at, int shortest, int longest, float amplitude) {
        const int length = column ? h : w;
        const int span =
            random.between(std::min(shortest, length / 2), std::max(shortest, std::min(longest, length / 2)));
        const int start = random.between(16, std::max(16, length - 16 - span));
        lines.push_back({column, at, start, std::min(length - 1, start + span - 1), amplitude});
    };
    // The halves and the 40 percent of a column: what a readout fault gives.
    fromEdge(true, random.between(w / 16, w * 5 / 16), uniform(random, 0.4f, 0.6f), uniform(random, 15.0f, 40.0f));
    fromEdge(true, random.between(w * 6 / 16, w * 8 / 16), uniform(random, 0.3f, 0.45f), uniform(random, 25.0f, 35.0f));
    fromEdge(false, random.between(h / 8, h * 3 / 8), uniform(random, 0.3f, 0.7f), uniform(random, 12.0f, 30.0f));
    inside(true, random.between(w * 9 / 16, w * 11 / 16), 40, 400, uniform(random, 12.0f, 60.0f));
    inside(false, random.between(h * 5 / 8, h * 7 / 8), 40, 400, uniform(random, 12.0f, 60.0f));
    inside(true, random.between(w * 12 / 16, w * 15 / 16), 32, 100, uniform(random, 15.0f, 60.0f));
    return lines;
}

std::vector<Blob> planBlobs(Random& random, int w, int h) {
    std::vector<Blob> blobs;
    for (int i = 0; i < 4; ++i) {
        const float sigma = uniform(random, 3.0f, 12.0f);
        const int margin = static_cast<int>(3.0f * sigma) + 8;
        blobs.push_back({false, static_cast<float>(random.between(margin, w - 1 - margin)),
                         static_cast<float>(random.between(margin, h - 1 - margin)), sigma, sigma,
                         uniform(random, 20.0f, 120.0f), 1});
    }
    // A leak comes in from an edge: long along it, shallower across; in a
    // small frame, smaller.
    const float scale = std::min(1.0f, static_cast<float>(std::min(w, h)) / 1000.0f);
    for (int i = 0; i < 2; ++i) {
        const int edge = random.between(0, 3);  // left, right, top, bottom
        const float along = scale * uniform(random, 40.0f, 150.0f), across = scale * uniform(random, 15.0f, 60.0f);
        const float offset = uniform(random, -0.5f, 0.5f) * across;
        const bool vertical = edge < 2;  // along a left or right edge
        const float position = uniform(random, 0.25f, 0.75f) * static_cast<float>(vertical ? h : w);
        const float depth = (edge % 2 == 0) ? offset : static_cast<float>(vertical ? w - 1 : h - 1) - offset;
        Blob leak{true,
                  vertical ? depth : position,
                  vertical ? position : depth,
                  vertical ? across : along,
                  vertical ? along : across,
                  uniform(random, 15.0f, 50.0f),
                  coin(random) ? 2 : 1};
        blobs.push_back(leak);
    }
    return blobs;
}

void planBanding(Random& random, int w, int h, Defects& d) {
    const int rows = random.between(3, 5), columns = random.between(3, 5);
    for (int i = 0; i < rows + columns; ++i) {
        const bool row = i < rows;
        const int length = row ? h : w;
        const int width = random.between(6, std::max(6, std::min(150, length / 4)));
        // Bands of one axis stay apart: two that overlap leave a strip as
        // narrow as the overlap standing above both, which is a hot line
        // by any measure.
        auto clear = [&](int from) {
            return std::none_of(d.bands.begin(), d.bands.end(), [&](const Band& other) {
                return other.row == row && from <= other.to + 8 && other.from <= from + width - 1 + 8;
            });
        };
        int from = random.between(0, std::max(0, length - width));
        for (int attempt = 0; attempt < 20 && !clear(from); ++attempt)
            from = random.between(0, std::max(0, length - width));
        if (!clear(from)) continue;
        d.bands.push_back({row, from, from + width - 1, uniform(random, 6.0f, 12.0f)});
    }
    const float spread = uniform(random, 0.2f, 0.5f);
    for (int y = 0; y < h; ++y) d.rowNoise.push_back(spread * random.normal());
    for (int x = 0; x < w; ++x) d.columnNoise.push_back(spread * random.normal());
}

void planGlows(Random& random, int w, int h, Defects& d) {
    // In a small frame the glow falls off sooner, so that most of it stays dark.
    const float scale = std::min(1.0f, static_cast<float>(std::min(w, h)) / 1000.0f);
    const int first = random.between(0, 3);
    const int count = random.between(1, 2);
    for (int i = 0; i < count; ++i) {
        const int corner = (first + 3 * i) % 4;  // the second is the opposite corner
        const float beyond = uniform(random, 0.0f, 20.0f);
        const float x = (corner & 1) ? static_cast<float>(w - 1) + beyond : -beyond;
        const float y = (corner & 2) ? static_cast<float>(h - 1) + beyond : -beyond;
        d.glows.push_back({x, y, uniform(random, 60.0f, 160.0f), scale * uniform(random, 30.0f, 120.0f)});
    }
    d.glowGain = uniform(random, 0.2f, 0.6f);
}

float glowAt(const Defects& d, int x, int y) {
    float sum = 0.0f;
    for (const Glow& g : d.glows) {
        const float distance = std::hypot(static_cast<float>(x) - g.x, static_cast<float>(y) - g.y);
        sum += g.amplitude * std::exp(-distance / g.reach);
    }
    return sum;
}

}  // namespace

cv::Rect Blob::box(int width, int height) const {
    const int left = std::max(0, static_cast<int>(std::floor(x - 2.0f * sigmaX)));
    const int top = std::max(0, static_cast<int>(std::floor(y - 2.0f * sigmaY)));
    const int right = std::min(width - 1, static_cast<int>(std::ceil(x + 2.0f * sigmaX)));
    const int bottom = std::min(height - 1, static_cast<int>(std::ceil(y + 2.0f * sigmaY)));
    return {left, top, std::max(1, right - left + 1), std::max(1, bottom - top + 1)};
}

bool hasDefects(const std::string& set) {
    return set == "segments" || set == "glints" || set == "banding" || set == "sharp-glow";
}

Defects planDefects(const std::string& set, std::uint64_t seed, int width, int height) {
    Defects d;
    if (set == "segments") {
        Random random(mix(seed, 7101));
        d.lines = planSegments(random, width, height);
    } else if (set == "glints") {
        Random random(mix(seed, 7102));
        d.blobs = planBlobs(random, width, height);
    } else if (set == "banding") {
        Random random(mix(seed, 7103));
        planBanding(random, width, height, d);
    } else if (set == "sharp-glow") {
        Random random(mix(seed, 7104));
        planGlows(random, width, height, d);
    }
    return d;
}

void addFixedDefects(cv::Mat& background, const Defects& d) {
    const int w = background.cols, h = background.rows;
    for (const Blob& b : d.blobs) {
        // Drawn out to four sigmas, where even a Gaussian is below 0.04 percent.
        const int left = std::max(0, static_cast<int>(b.x - 4.0f * b.sigmaX));
        const int right = std::min(w - 1, static_cast<int>(b.x + 4.0f * b.sigmaX));
        const int top = std::max(0, static_cast<int>(b.y - 4.0f * b.sigmaY));
        const int bottom = std::min(h - 1, static_cast<int>(b.y + 4.0f * b.sigmaY));
        for (int y = top; y <= bottom; ++y) {
            float* row = background.ptr<float>(y);
            for (int x = left; x <= right; ++x) {
                const float u = (static_cast<float>(x) - b.x) / b.sigmaX, v = (static_cast<float>(y) - b.y) / b.sigmaY;
                const float q = u * u + v * v;
                row[x] += b.amplitude * std::exp(-0.5f * (b.shape == 2 ? q * q : q));
            }
        }
    }
    for (const Band& band : d.bands) {
        const cv::Rect area = band.row ? cv::Rect(0, band.from, w, band.to - band.from + 1)
                                       : cv::Rect(band.from, 0, band.to - band.from + 1, h);
        background(area & cv::Rect(0, 0, w, h)) += band.offset;
    }
    if (!d.rowNoise.empty() || !d.columnNoise.empty()) {
        for (int y = 0; y < h; ++y) {
            float* row = background.ptr<float>(y);
            const float along = d.rowNoise.empty() ? 0.0f : d.rowNoise[static_cast<std::size_t>(y)];
            for (int x = 0; x < w; ++x) {
                row[x] += along + (d.columnNoise.empty() ? 0.0f : d.columnNoise[static_cast<std::size_t>(x)]);
            }
        }
    }
    if (!d.glows.empty()) {
        for (int y = 0; y < h; ++y) {
            float* row = background.ptr<float>(y);
            for (int x = 0; x < w; ++x) row[x] += glowAt(d, x, y);
        }
    }
}

cv::Mat glowVariance(cv::Size size, const Defects& d) {
    if (d.glows.empty()) return {};
    cv::Mat variance(size, CV_32FC1);
    for (int y = 0; y < size.height; ++y) {
        float* row = variance.ptr<float>(y);
        for (int x = 0; x < size.width; ++x) row[x] = d.glowGain * glowAt(d, x, y);
    }
    return variance;
}

bool nearGlow(const Defects& d, int x, int y, float distance) {
    return std::any_of(d.glows.begin(), d.glows.end(), [&](const Glow& g) {
        return std::hypot(static_cast<float>(x) - g.x, static_cast<float>(y) - g.y) <= distance;
    });
}

}  // namespace shoot

// Realistic dark-frame sets and their truth lists.
//
// Every frame is the fixed background (black level, shading, glow and the
// per-pixel non-uniformity) plus the hot spots lit in that frame plus fresh
// read noise, rounded to 8 bits; colour frames go through a Bayer mosaic and
// demosaicing before the JPEG. The strengths in the truth list are measured,
// not assumed: the frames are rendered once more without noise through the
// same path (rounding, demosaicing, JPEG), and a spot's strength is how far
// the mean of those renderings stands above the rendering of the background
// alone. So a blue site that the JPEG's chroma sampling dims is listed as
// dim as it really is.
#include "shoot/dark_sets.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "shoot/files.h"
#include "shoot/random.h"
#include "shoot/truth.h"

namespace shoot {

namespace {

struct Profile {
    float readNoise;  // DN, per frame
    float dsnu;       // standard deviation of the fixed per-pixel offsets, DN
    float glow;       // DN added at the glowing corner
};

Profile profileOf(const std::string& set) {
    if (set == "clean") return {1.5f, 0.3f, 0.0f};
    if (set == "high-iso") return {5.0f, 1.0f, 0.0f};
    if (set == "glow") return {2.0f, 0.4f, 40.0f};
    if (set == "bayer") return {2.5f, 0.5f, 0.0f};
    return {2.0f, 0.4f, 0.0f};
}

// The raw sets: a 12- or 14-bit sensor's values stored in 16-bit PNGs, as
// raw converters write them. Everything is planned in 8-bit DN as for the
// other sets and stored (and measured) scaled up to the sensor's units, so
// a raw set is the clean set at a finer step.
struct Depth {
    int bits = 8;
    float unitsPerDn() const { return static_cast<float>(1 << (bits - 8)); }
    float highest() const { return static_cast<float>((1 << bits) - 1); }
};

Depth depthOf(const std::string& set) {
    if (set == "raw12") return {12};
    if (set == "raw14") return {14};
    return {};
}

// One hot pixel of a spot. lit: bit i set when it is lit in frame i.
struct HotPixel {
    int x, y;
    float amplitude;
    std::uint64_t lit;
};

struct HotLine {
    bool column;
    int at, from, to;  // the column (or row) and the span along it, inclusive
    float amplitude;
};

struct Plan {
    Truth truth;
    Profile profile;
    float black = 4.0f;
    int glowCorner = 0;  // 0 top left, 1 top right, 2 bottom left, 3 bottom right
    std::vector<HotPixel> pixels;
    std::vector<HotLine> lines;
};

// The colour OpenCV's demosaicing gives a site of the mosaic, by the
// parity of its column and row: found by lighting one site of a small mosaic,
// so that nothing here depends on remembering the library's naming of
// Bayer layouts.
constexpr cv::ColorConversionCodes kDemosaic = cv::COLOR_BayerBG2BGR;

std::string siteChannel(int x, int y) {
    cv::Mat mosaic(8, 8, CV_8UC1, cv::Scalar(0));
    const int sx = 4 + (x & 1), sy = 4 + (y & 1);
    mosaic.at<std::uint8_t>(sy, sx) = 200;
    cv::Mat colour;
    cv::cvtColor(mosaic, colour, kDemosaic);
    const cv::Vec3b v = colour.at<cv::Vec3b>(sy, sx);
    static const char* const kNames[] = {"blue", "green", "red"};
    return kNames[std::max_element(&v[0], &v[0] + 3) - &v[0]];
}

// Keeps planted spots apart from each other, from the border and from the
// hot lines, so that each spot's neighbourhood is background.
class Placer {
public:
    Placer(int width, int height) : width_(width), height_(height) {}

    void keepAwayFrom(const HotLine& line) { lines_.push_back(line); }

    bool fits(const cv::Rect& box) const {
        if (box.x < kMargin || box.y < kMargin || box.x + box.width > width_ - kMargin ||
            box.y + box.height > height_ - kMargin) {
            return false;
        }
        for (const cv::Rect& other : taken_) {
            const int gapX = std::max(other.x - (box.x + box.width), box.x - (other.x + other.width));
            const int gapY = std::max(other.y - (box.y + box.height), box.y - (other.y + other.height));
            if (std::max(gapX, gapY) < kSpacing) return false;
        }
        for (const HotLine& line : lines_) {
            const int low = line.column ? box.x : box.y, high = low + (line.column ? box.width : box.height) - 1;
            if (line.at >= low - kLineSpacing && line.at <= high + kLineSpacing) return false;
        }
        return true;
    }

    void take(const cv::Rect& box) { taken_.push_back(box); }

private:
    static constexpr int kMargin = 8;
    static constexpr int kSpacing = 16;
    static constexpr int kLineSpacing = 10;
    int width_, height_;
    std::vector<cv::Rect> taken_;
    std::vector<HotLine> lines_;
};

std::uint64_t allFrames(int frames) { return frames >= 64 ? ~0ull : (1ull << frames) - 1; }

Spot lineSpot(const HotLine& line) {
    Spot s;
    s.kind = "line";
    const int middle = (line.from + line.to) / 2;
    s.x = line.column ? line.at : middle;
    s.y = line.column ? middle : line.at;
    s.left = line.column ? line.at : line.from;
    s.right = line.column ? line.at : line.to;
    s.top = line.column ? line.from : line.at;
    s.bottom = line.column ? line.to : line.at;
    return s;
}

Plan plan(const DarkSetOptions& o) {
    Plan p;
    p.truth.set = o.set;
    p.truth.width = o.width;
    p.truth.height = o.height;
    p.truth.frames = o.frames;
    p.truth.tolerance = o.set == "bayer" ? 2 : 1;
    p.profile = profileOf(o.set);

    Random random(mix(o.seed, 7001));
    p.black = 3.0f + 2.0f * static_cast<float>(random.unit());
    p.glowCorner = random.between(0, 3);

    const int w = o.width, h = o.height;
    Placer placer(w, h);
    if (o.set == "lines") {
        // A full-height column, a column over three quarters of the height
        // (from the top or from the bottom) and a full-width row.
        const int partial = h * 3 / 4;
        const bool fromTop = random.next() & 1;
        p.lines.push_back({true, random.between(w / 8, w * 3 / 8), 0, h - 1, 20.0f});
        p.lines.push_back({true, random.between(w * 5 / 8, w * 7 / 8), fromTop ? 0 : h - partial,
                           fromTop ? partial - 1 : h - 1, 12.0f});
        p.lines.push_back({false, random.between(h / 4, h * 3 / 4), 0, w - 1, 15.0f});
        for (const HotLine& line : p.lines) {
            placer.keepAwayFrom(line);
            p.truth.spots.push_back(lineSpot(line));
        }
    }

    std::string channels[4];
    if (o.set == "bayer") {
        for (int phase = 0; phase < 4; ++phase) channels[phase] = siteChannel(phase & 1, phase >> 1);
    }

    const std::uint64_t every = allFrames(o.frames);
    int placed = 0;
    for (int attempt = 0; placed < o.hot && attempt < 200 * o.hot + 10000; ++attempt) {
        const int x = random.between(0, w - 1), y = random.between(0, h - 1);
        // Evenly on a log scale from 10 DN to beyond saturation.
        const float strength = 10.0f * std::pow(32.0f, static_cast<float>(random.unit()));
        std::vector<HotPixel> members{{x, y, strength, every}};
        std::string kind = "pixel";
        if (o.set == "clusters") {
            const double shape = random.unit();
            if (shape >= 0.7) {
                kind = "cluster";
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const float share = 0.25f + 0.45f * static_cast<float>(random.unit());
                        if (dx != 0 || dy != 0) members.push_back({x + dx, y + dy, strength * share, every});
                    }
                }
            } else if (shape >= 0.35) {
                kind = "cluster";
                static const cv::Point kSteps[] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};
                const cv::Point step = kSteps[random.next() % 4];
                const float share = 0.5f + 0.4f * static_cast<float>(random.unit());
                members.push_back({x + step.x, y + step.y, strength * share, every});
            }
        }
        if (o.set == "flicker" && o.frames >= 3 && (random.next() & 1)) {
            // Lit in at least two frames and dark in at least one; as bright
            // when lit as needed for the drawn strength in the mean.
            std::uint64_t lit;
            do {
                lit = random.next() & every;
            } while (std::popcount(lit) < 2 || lit == every);
            members[0].lit = lit;
            members[0].amplitude = strength * static_cast<float>(o.frames) / static_cast<float>(std::popcount(lit));
        }

        int left = x, top = y, right = x, bottom = y;
        for (const HotPixel& m : members) {
            left = std::min(left, m.x), right = std::max(right, m.x);
            top = std::min(top, m.y), bottom = std::max(bottom, m.y);
        }
        const cv::Rect box(left, top, right - left + 1, bottom - top + 1);
        if (!placer.fits(box)) continue;
        placer.take(box);

        Spot s;
        s.kind = kind;
        s.x = x, s.y = y;
        s.left = left, s.top = top, s.right = right, s.bottom = bottom;
        if (o.set == "bayer") s.channel = channels[(y & 1) * 2 + (x & 1)];
        p.truth.spots.push_back(s);
        p.pixels.insert(p.pixels.end(), members.begin(), members.end());
        ++placed;
    }
    if (placed < o.hot) throw std::runtime_error("the frame is too small for that many hot pixels");
    return p;
}

// The fixed part of every frame: black level, a faint shading from left to
// right, the glow and the per-pixel non-uniformity.
cv::Mat background(const DarkSetOptions& o, const Plan& p) {
    Random random(mix(o.seed, 7002));
    const int w = o.width, h = o.height;
    const float cornerX = (p.glowCorner & 1) ? static_cast<float>(w - 1) : 0.0f;
    const float cornerY = (p.glowCorner & 2) ? static_cast<float>(h - 1) : 0.0f;
    const float reach = 0.15f * std::hypot(static_cast<float>(w), static_cast<float>(h));
    cv::Mat bg(h, w, CV_32FC1);
    for (int y = 0; y < h; ++y) {
        auto* row = bg.ptr<float>(y);
        for (int x = 0; x < w; ++x) {
            float v = p.black + 1.5f * static_cast<float>(x) / static_cast<float>(w) + p.profile.dsnu * random.normal();
            if (p.profile.glow > 0.0f) {
                const float d = std::hypot(static_cast<float>(x) - cornerX, static_cast<float>(y) - cornerY);
                v += p.profile.glow * std::exp(-d / reach);
            }
            row[x] = v;
        }
    }
    return bg;
}

void addLines(cv::Mat& frame, const Plan& p) {
    for (const HotLine& line : p.lines) {
        const cv::Rect span = line.column ? cv::Rect(line.at, line.from, 1, line.to - line.from + 1)
                                          : cv::Rect(line.from, line.at, line.to - line.from + 1, 1);
        frame(span) += line.amplitude;
    }
}

// A raw set's frame in the sensor's units, clipped where the sensor
// saturates; 16 bits.
cv::Mat toRaw(const cv::Mat& frame, Depth depth) {
    cv::Mat raw;
    cv::min(frame * depth.unitsPerDn(), depth.highest(), raw);
    raw.convertTo(raw, CV_16U);
    return raw;
}

// The frame as a file stores it: rounded to 8 bits, demosaiced for the
// colour set; a raw set's in its own units.
cv::Mat toStored(const cv::Mat& frame, bool bayer, Depth depth) {
    if (depth.bits > 8) return toRaw(frame, depth);
    cv::Mat stored;
    frame.convertTo(stored, CV_8U);
    if (bayer) {
        cv::Mat colour;
        cv::cvtColor(stored, colour, kDemosaic);
        return colour;
    }
    return stored;
}

JpegOptions jpegOptions(const DarkSetOptions& o) {
    JpegOptions jpeg;
    jpeg.quality = o.quality;
    jpeg.lumaH = 2, jpeg.lumaV = 1;  // colour: 4:2:2, as camera JPEGs mostly are
    jpeg.comment = "Speckmend dark set " + o.set + ", seed " + std::to_string(o.seed);
    return jpeg;
}

// What a reader gets back from a noise-free frame written as the set writes
// its frames: floats for PNG (whose rounding the noise of real frames
// averages out), the decoded 8-bit image for JPEG. Takes the frame over.
cv::Mat rendered(const DarkSetOptions& o, cv::Mat frame, bool jpeg, bool bayer) {
    if (const Depth depth = depthOf(o.set); depth.bits > 8) {
        frame *= depth.unitsPerDn();
        cv::min(frame, depth.highest(), frame);
        cv::max(frame, 0.0f, frame);
        return frame;
    }
    if (!jpeg && !bayer) {
        cv::min(frame, 255.0f, frame);
        cv::max(frame, 0.0f, frame);
        return frame;
    }
    std::string bytes = encodeJpeg(toStored(frame, bayer, {}), jpegOptions(o));
    frame.release();
    return cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()), cv::IMREAD_UNCHANGED);
}

// Where a spot's strength is measured: its box, widened by the tolerance
// when the file format may move a peak; a line's pixels.
std::vector<cv::Point> measuredPoints(const Spot& s, int widen, int width, int height) {
    std::vector<cv::Point> points;
    const int grow = s.isLine() ? 0 : widen;
    for (int y = std::max(0, s.top - grow); y <= std::min(height - 1, s.bottom + grow); ++y) {
        for (int x = std::max(0, s.left - grow); x <= std::min(width - 1, s.right + grow); ++x)
            points.push_back({x, y});
    }
    return points;
}

// Every channel's value at the points, point after point. Only these are
// kept of a rendering, so that measuring needs no frame-sized sums.
std::vector<double> sample(const cv::Mat& image, const std::vector<cv::Point>& points) {
    const int channels = image.channels();
    std::vector<double> values;
    values.reserve(points.size() * static_cast<std::size_t>(channels));
    for (const cv::Point& pt : points) {
        for (int c = 0; c < channels; ++c) {
            const int at = pt.x * channels + c;
            values.push_back(image.depth() == CV_8U ? image.ptr<std::uint8_t>(pt.y)[at] : image.ptr<float>(pt.y)[at]);
        }
    }
    return values;
}

cv::Mat litFrame(const Plan& p, const cv::Mat& bg, int frame) {
    cv::Mat lit = bg.clone();
    addLines(lit, p);
    for (const HotPixel& hp : p.pixels) {
        if ((hp.lit >> frame) & 1) lit.at<float>(hp.y, hp.x) += hp.amplitude;
    }
    return lit;
}

void measureStrengths(const DarkSetOptions& o, Plan& p, const cv::Mat& bg, bool jpeg, bool bayer) {
    const int widen = (jpeg || bayer) ? p.truth.tolerance : 0;
    const int channels = bayer ? 3 : 1;
    std::vector<cv::Point> points;
    std::vector<std::size_t> firsts;  // each spot's first point
    for (const Spot& s : p.truth.spots) {
        firsts.push_back(points.size());
        const std::vector<cv::Point> own = measuredPoints(s, widen, o.width, o.height);
        points.insert(points.end(), own.begin(), own.end());
    }
    firsts.push_back(points.size());

    std::vector<double> sum(points.size() * channels, 0.0), last;
    std::vector<bool> previous;
    for (int i = 0; i < o.frames; ++i) {
        // Only the flickering pixels change between frames: a frame lit like
        // the one before renders the same.
        std::vector<bool> state(p.pixels.size());
        for (std::size_t k = 0; k < p.pixels.size(); ++k) state[k] = ((p.pixels[k].lit >> i) & 1) != 0;
        if (last.empty() || state != previous) {
            last = sample(rendered(o, litFrame(p, bg, i), jpeg, bayer), points);
            previous = state;
        }
        for (std::size_t k = 0; k < sum.size(); ++k) sum[k] += last[k];
    }
    const std::vector<double> base = sample(rendered(o, bg.clone(), jpeg, bayer), points);

    for (std::size_t n = 0; n < p.truth.spots.size(); ++n) {
        Spot& s = p.truth.spots[n];
        // Per point, the largest excess over the channels.
        std::vector<double> values;
        for (std::size_t k = firsts[n]; k < firsts[n + 1]; ++k) {
            double best = -1e9;
            for (int c = 0; c < channels; ++c) {
                const std::size_t at = k * channels + c;
                best = std::max(best, sum[at] / o.frames - base[at]);
            }
            values.push_back(best);
        }
        double strength;
        if (s.isLine()) {
            std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
            strength = values[values.size() / 2];
        } else {
            strength = *std::max_element(values.begin(), values.end());
        }
        s.strength = std::round(std::max(0.0, strength) * 10.0) / 10.0;
    }
}

std::string configText() {
    return "<?xml version=\"1.0\"?>\n"
           "<config>\n" +
           detectSection("0.999", "<outimage></outimage>") + "</config>\n";
}

std::string describe(const Plan& p) {
    static const char* const kCorners[] = {"top left", "top right", "bottom left", "bottom right"};
    char text[256];
    std::snprintf(text, sizeof text, "# black level %.1f DN, read noise %.1f DN, non-uniformity %.1f DN", p.black,
                  p.profile.readNoise, p.profile.dsnu);
    std::string line = text;
    if (p.profile.glow > 0.0f) {
        std::snprintf(text, sizeof text, ", glow +%.0f DN toward the %s corner", p.profile.glow,
                      kCorners[p.glowCorner]);
        line += text;
    }
    return line;
}

}  // namespace

const std::vector<std::string>& darkSetNames() {
    static const std::vector<std::string> names = {"clean", "high-iso", "glow",  "clusters", "lines",
                                                   "flicker", "bayer",   "raw12", "raw14"};
    return names;
}

bool isDarkSet(const std::string& name) {
    const auto& names = darkSetNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

void makeDarkSet(const DarkSetOptions& o) {
    if (!isDarkSet(o.set)) throw std::runtime_error("unknown set " + o.set);
    if (o.frames < 1 || o.frames > kMaxSetFrames) throw std::runtime_error("a set has 1 to 64 frames");
    const bool bayer = o.set == "bayer";
    const std::string format = o.format.empty() ? (bayer ? "jpg" : "png") : o.format;
    if (format != "png" && format != "jpg") throw std::runtime_error("unknown format " + format);
    if (bayer && format != "jpg") throw std::runtime_error("the bayer set is written as JPEG only");
    const Depth depth = depthOf(o.set);
    if (depth.bits > 8 && format != "png") throw std::runtime_error("the raw sets are written as 16-bit PNG only");
    const bool jpeg = format == "jpg";

    Plan p = plan(o);
    const cv::Mat bg = background(o, p);

    makeFolder(o.out);
    makeFolder(o.out + "/dark");
    for (int i = 0; i < o.frames; ++i) {
        Random noise(mix(o.seed, 9000 + static_cast<std::uint64_t>(i)));
        cv::Mat frame(bg.size(), CV_32FC1);
        for (int y = 0; y < frame.rows; ++y) {
            const float* in = bg.ptr<float>(y);
            float* out = frame.ptr<float>(y);
            for (int x = 0; x < frame.cols; ++x) out[x] = in[x] + p.profile.readNoise * noise.normal();
        }
        addLines(frame, p);
        for (const HotPixel& hp : p.pixels) {
            // Dark current has shot noise of its own, growing with its level.
            if ((hp.lit >> i) & 1)
                frame.at<float>(hp.y, hp.x) += hp.amplitude + std::sqrt(0.3f * hp.amplitude) * noise.normal();
        }
        const cv::Mat stored = toStored(frame, bayer, depth);
        const std::string path = o.out + "/dark/" + numbered("dark_", i + 1, o.frames, jpeg ? ".jpg" : ".png");
        if (jpeg)
            writeJpeg(path, stored, jpegOptions(o));
        else
            writePng(path, stored);
    }

    measureStrengths(o, p, bg, jpeg, bayer);
    std::vector<std::string> header = {
        "# Hot spots planted by make_sample_shoot, set " + o.set + ", seed " + std::to_string(o.seed) + ".",
        describe(p)};
    if (depth.bits > 8) {
        header.push_back("# " + std::to_string(depth.bits) + "-bit values in 16-bit PNG: the levels above times " +
                         std::to_string(1 << (depth.bits - 8)) + ", strengths below in those units");
    }
    writeText(o.out + "/truth.txt", truthText(p.truth, header));
    writeText(o.out + "/config.xml", configText());
}

}  // namespace shoot

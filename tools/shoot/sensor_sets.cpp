// The sets whose truth list gives strengths at the sensor.
//
// Every frame is the raw sensor image: black level, a faint shading, the
// per-site non-uniformity, fresh read noise and the hot sites with their
// shot noise. A colour set then goes through the camera's steps in their
// order: white balance on the raw values, rounding to 8 bits, demosaicing,
// and the file (JPEG at the set's quality and chroma sampling, or PNG).
#include "shoot/sensor_sets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "shoot/files.h"
#include "shoot/random.h"
#include "shoot/truth.h"

namespace shoot {

namespace {

struct SetKind {
    bool colour = false;
    bool whiteBalance = false;
    bool jpeg = false;
    int quality = 0;          // 0: the options' quality
    int lumaH = 1, lumaV = 1;  // chroma sampling: 1x1 is 4:4:4, 2x2 is 4:2:0
    bool besideStrong = false;
};

std::optional<SetKind> kindOf(const std::string& name) {
    auto colourJpeg = [](bool whiteBalance, int quality, int luma) {
        return SetKind{true, whiteBalance, true, quality, luma, luma, false};
    };
    if (name == "bayer-q90-444") return colourJpeg(false, 90, 1);
    if (name == "bayer-q90-420") return colourJpeg(false, 90, 2);
    if (name == "bayer-q70-420") return colourJpeg(false, 70, 2);
    if (name == "bayer-wb-q90-444") return colourJpeg(true, 90, 1);
    if (name == "bayer-wb-q90-420") return colourJpeg(true, 90, 2);
    if (name == "bayer-wb-q70-420") return colourJpeg(true, 70, 2);
    if (name == "bayer-png") return SetKind{true, false, false, 0, 1, 1, false};
    if (name == "beside-strong") return SetKind{false, false, false, 0, 1, 1, true};
    return std::nullopt;
}

// The mosaic: red on even columns of even rows, blue on odd columns of odd
// rows, green elsewhere. Phase (x & 1) + 2 (y & 1).
enum Site { kRed, kGreen, kBlue };
Site siteAt(int x, int y) {
    const int phase = (x & 1) + 2 * (y & 1);
    return phase == 0 ? kRed : (phase == 3 ? kBlue : kGreen);
}
const char* siteName(Site site) { return site == kRed ? "red" : (site == kBlue ? "blue" : "green"); }

// OpenCV names its Bayer layouts after a pair of sites on the second row, a
// naming easy to get backwards: the layout is found by demosaicing a small
// mosaic with one lit red site bilinearly and keeping the conversion that
// shows it red; the other methods take the same layout.
int demosaicCode(const std::string& method) {
    const int bilinear[] = {cv::COLOR_BayerBG2BGR, cv::COLOR_BayerGB2BGR, cv::COLOR_BayerRG2BGR, cv::COLOR_BayerGR2BGR};
    const int vng[] = {cv::COLOR_BayerBG2BGR_VNG, cv::COLOR_BayerGB2BGR_VNG, cv::COLOR_BayerRG2BGR_VNG,
                       cv::COLOR_BayerGR2BGR_VNG};
    const int ea[] = {cv::COLOR_BayerBG2BGR_EA, cv::COLOR_BayerGB2BGR_EA, cv::COLOR_BayerRG2BGR_EA,
                      cv::COLOR_BayerGR2BGR_EA};
    const int* codes = bilinear;
    if (method == "vng") {
        codes = vng;
    } else if (method == "ea") {
        codes = ea;
    } else if (!method.empty() && method != "bilinear") {
        throw std::runtime_error("unknown demosaicing " + method + " (bilinear, vng or ea)");
    }
    for (int layout = 0; layout < 4; ++layout) {
        cv::Mat mosaic(16, 16, CV_8UC1, cv::Scalar(20));
        mosaic.at<std::uint8_t>(8, 8) = 220;  // a red site
        cv::Mat colour;
        cv::cvtColor(mosaic, colour, bilinear[layout]);
        const cv::Vec3b v = colour.at<cv::Vec3b>(8, 8);
        if (v[2] > 150 && v[0] < 100 && v[1] < 100) return codes[layout];
    }
    throw std::runtime_error("no Bayer conversion shows a red site red");
}

struct Hot {
    int x, y;
    float amplitude;  // DN at the sensor
};

struct Plan {
    float black = 4.0f;
    float readNoise = 2.5f;
    float dsnu = 0.5f;
    float gain[3] = {1.0f, 1.0f, 1.0f};  // per Site
    std::vector<Hot> hot;
};

// Where spots may go: apart from each other by kGap pixels and from the
// frame's edge by kMargin, in buckets of kGap pixels so that dense sets are
// placed quickly.
class Spacing {
public:
    static constexpr int kGap = 16;
    static constexpr int kMargin = 8;

    Spacing(int width, int height)
        : width_(width), height_(height), columns_(width / kGap + 1), buckets_(columns_ * (height / kGap + 1)) {}

    bool fits(const cv::Rect& box) const {
        if (box.x < kMargin || box.y < kMargin || box.x + box.width > width_ - kMargin ||
            box.y + box.height > height_ - kMargin) {
            return false;
        }
        const int bx0 = std::max(0, box.x / kGap - 3), bx1 = std::min(columns_ - 1, (box.x + box.width) / kGap + 1);
        const int rows = static_cast<int>(buckets_.size()) / columns_;
        const int by0 = std::max(0, box.y / kGap - 3), by1 = std::min(rows - 1, (box.y + box.height) / kGap + 1);
        for (int by = by0; by <= by1; ++by) {
            for (int bx = bx0; bx <= bx1; ++bx) {
                for (const cv::Rect& other : buckets_[static_cast<std::size_t>(by * columns_ + bx)]) {
                    const int gapX = std::max(other.x - (box.x + box.width), box.x - (other.x + other.width));
                    const int gapY = std::max(other.y - (box.y + box.height), box.y - (other.y + other.height));
                    if (std::max(gapX, gapY) < kGap) return false;
                }
            }
        }
        return true;
    }

    void take(const cv::Rect& box) {
        buckets_[static_cast<std::size_t>(box.y / kGap * columns_ + box.x / kGap)].push_back(box);
    }

private:
    int width_, height_, columns_;
    std::vector<std::vector<cv::Rect>> buckets_;
};

// Log-uniform between low and high.
float logBetween(Random& random, float low, float high) {
    return low * std::pow(high / low, static_cast<float>(random.unit()));
}

Spot spotOf(const Hot& h, const SetKind& kind) {
    Spot s;
    s.kind = "pixel";
    s.x = s.left = s.right = h.x;
    s.y = s.top = s.bottom = h.y;
    s.strength = std::round(h.amplitude * 10.0) / 10.0;
    if (kind.colour) s.channel = siteName(siteAt(h.x, h.y));
    return s;
}

Plan plan(const DarkSetOptions& o, const SetKind& kind, Truth& truth) {
    Plan p;
    Random random(mix(o.seed, 7101));
    p.black = 3.0f + 2.0f * static_cast<float>(random.unit());
    p.readNoise = kind.colour ? 2.5f : 2.0f;
    p.dsnu = kind.colour ? 0.5f : 0.4f;
    if (kind.whiteBalance) {
        p.gain[kRed] = 1.6f + 0.8f * static_cast<float>(random.unit());
        p.gain[kBlue] = 1.3f + 0.6f * static_cast<float>(random.unit());
    }

    Spacing spacing(o.width, o.height);
    const int pairs = kind.besideStrong ? o.hot / 3 : 0;
    int placed = 0;
    for (int attempt = 0; placed < o.hot && attempt < 200 * o.hot + 10000; ++attempt) {
        const int x = random.between(0, o.width - 1), y = random.between(0, o.height - 1);
        std::vector<Hot> members;
        if (placed < 2 * pairs) {
            // A strong one and, 3 to 15 pixels from it, one at most a
            // quarter as strong.
            const float strong = logBetween(random, 40.0f, 320.0f);
            int dx = 0, dy = 0;
            do {
                dx = random.between(-15, 15), dy = random.between(-15, 15);
            } while (std::max(std::abs(dx), std::abs(dy)) < 3 || dx * dx + dy * dy > 225);
            members = {{x, y, strong}, {x + dx, y + dy, logBetween(random, 10.0f, strong / 4.0f)}};
        } else {
            members = {{x, y, logBetween(random, 10.0f, 320.0f)}};
        }
        int left = x, top = y, right = x, bottom = y;
        for (const Hot& m : members) {
            left = std::min(left, m.x), right = std::max(right, m.x);
            top = std::min(top, m.y), bottom = std::max(bottom, m.y);
        }
        const cv::Rect box(left, top, right - left + 1, bottom - top + 1);
        if (!spacing.fits(box)) continue;
        spacing.take(box);
        for (const Hot& m : members) {
            p.hot.push_back(m);
            truth.spots.push_back(spotOf(m, kind));
        }
        placed += static_cast<int>(members.size());
    }
    if (placed < o.hot) throw std::runtime_error("the frame is too small for that many hot pixels");
    return p;
}

// The raw image without read noise or hot sites.
cv::Mat background(const DarkSetOptions& o, const Plan& p) {
    Random random(mix(o.seed, 7102));
    cv::Mat bg(o.height, o.width, CV_32FC1);
    for (int y = 0; y < o.height; ++y) {
        auto* row = bg.ptr<float>(y);
        for (int x = 0; x < o.width; ++x) {
            row[x] = p.black + 1.5f * static_cast<float>(x) / static_cast<float>(o.width) + p.dsnu * random.normal();
        }
    }
    return bg;
}

// One raw frame as the file stores it.
cv::Mat stored(const cv::Mat& raw, const Plan& p, const SetKind& kind, int demosaic) {
    cv::Mat balanced = raw;
    if (kind.whiteBalance) {
        // The gains act on the signal above black, as a camera applies them
        // after subtracting the black level.
        balanced = raw.clone();
        for (int y = 0; y < balanced.rows; ++y) {
            float* row = balanced.ptr<float>(y);
            for (int x = 0; x < balanced.cols; ++x) row[x] = p.black + p.gain[siteAt(x, y)] * (row[x] - p.black);
        }
    }
    cv::Mat bytes;
    balanced.convertTo(bytes, CV_8U);
    if (!kind.colour) return bytes;
    cv::Mat colour;
    cv::cvtColor(bytes, colour, demosaic);
    return colour;
}

std::string describe(const Plan& p, const SetKind& kind, const DarkSetOptions& o, bool jpeg) {
    char text[320];
    std::snprintf(text, sizeof text, "# black level %.1f DN, read noise %.1f DN, non-uniformity %.1f DN", p.black,
                  p.readNoise, p.dsnu);
    std::string line = text;
    if (kind.colour) {
        line += std::string("; RGGB mosaic, demosaiced ") + (o.demosaic.empty() ? "bilinear" : o.demosaic.c_str());
        if (kind.whiteBalance) {
            std::snprintf(text, sizeof text, ", white balance red x%.2f blue x%.2f", p.gain[kRed], p.gain[kBlue]);
            line += text;
        }
    }
    if (jpeg) {
        const int quality = kind.quality > 0 ? kind.quality : o.quality;
        const char* sampling = kind.lumaH == 1 ? "4:4:4" : (kind.lumaV == 1 ? "4:2:2" : "4:2:0");
        std::snprintf(text, sizeof text, "; JPEG quality %d%s%s", quality, kind.colour ? ", chroma " : "",
                      kind.colour ? sampling : "");
        line += text;
    } else {
        line += "; PNG";
    }
    return line;
}

}  // namespace

const std::vector<std::string>& sensorSetNames() {
    static const std::vector<std::string> names = {"bayer-q90-444",    "bayer-q90-420",    "bayer-q70-420",
                                                   "bayer-wb-q90-444", "bayer-wb-q90-420", "bayer-wb-q70-420",
                                                   "bayer-png",        "beside-strong"};
    return names;
}

bool isSensorSet(const std::string& name) { return kindOf(name).has_value(); }

bool isColourSensorSet(const std::string& name) {
    const auto kind = kindOf(name);
    return kind && kind->colour;
}

bool sensorSetFixesQuality(const std::string& name) {
    const auto kind = kindOf(name);
    return kind && kind->quality > 0;
}

void makeSensorSet(const DarkSetOptions& o) {
    const std::optional<SetKind> found = kindOf(o.set);
    if (!found) throw std::runtime_error("unknown set " + o.set);
    const SetKind& kind = *found;
    if (o.frames < 1 || o.frames > kMaxSetFrames) throw std::runtime_error("a set has 1 to 64 frames");
    if (!kind.colour && !o.demosaic.empty()) throw std::runtime_error("the set " + o.set + " is not demosaiced");
    bool jpeg = kind.jpeg;
    if (!o.format.empty()) {
        if (o.format != "png" && o.format != "jpg") throw std::runtime_error("unknown format " + o.format);
        if (kind.colour && (o.format == "jpg") != kind.jpeg) {
            throw std::runtime_error("the set " + o.set + " is written as " + (kind.jpeg ? "JPEG" : "PNG") + " only");
        }
        jpeg = o.format == "jpg";
    }
    const int demosaic = kind.colour ? demosaicCode(o.demosaic) : 0;

    Truth truth;
    truth.set = o.set;
    truth.width = o.width;
    truth.height = o.height;
    truth.frames = o.frames;
    // Demosaicing and the halved chroma may move a site's peak by a pixel.
    truth.tolerance = kind.colour ? 2 : 1;
    const Plan p = plan(o, kind, truth);
    const cv::Mat bg = background(o, p);

    JpegOptions jpegOptions;
    jpegOptions.quality = kind.quality > 0 ? kind.quality : o.quality;
    jpegOptions.lumaH = kind.lumaH;
    jpegOptions.lumaV = kind.lumaV;
    jpegOptions.comment = "Speckmend dark set " + o.set + ", seed " + std::to_string(o.seed);

    makeFolder(o.out);
    makeFolder(o.out + "/dark");
    for (int i = 0; i < o.frames; ++i) {
        Random noise(mix(o.seed, 9100 + static_cast<std::uint64_t>(i)));
        cv::Mat raw(bg.size(), CV_32FC1);
        for (int y = 0; y < raw.rows; ++y) {
            const float* in = bg.ptr<float>(y);
            float* out = raw.ptr<float>(y);
            for (int x = 0; x < raw.cols; ++x) out[x] = in[x] + p.readNoise * noise.normal();
        }
        for (const Hot& h : p.hot) {
            // Dark current has shot noise of its own, growing with its level.
            raw.at<float>(h.y, h.x) += h.amplitude + std::sqrt(0.3f * h.amplitude) * noise.normal();
        }
        const cv::Mat image = stored(raw, p, kind, demosaic);
        const std::string path = o.out + "/dark/" + numbered("dark_", i + 1, o.frames, jpeg ? ".jpg" : ".png");
        if (jpeg)
            writeJpeg(path, image, jpegOptions);
        else
            writePng(path, image);
    }

    const std::vector<std::string> header = {
        "# Hot spots planted by make_sample_shoot, set " + o.set + ", seed " + std::to_string(o.seed) + ".",
        describe(p, kind, o, jpeg),
        "# Here STRENGTH is at the sensor: the site's own level above its background, before white balance,",
        "# demosaicing and the file's compression."};
    writeText(o.out + "/truth.txt", truthText(truth, header));
    writeText(o.out + "/config.xml", "<?xml version=\"1.0\"?>\n<config>\n" +
                                         detectSection("0.999", "<outimage></outimage>") + "</config>\n");
}

}  // namespace shoot

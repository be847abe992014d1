// make_sample_shoot: writes a repeatable sample shoot into a folder, for the
// demo, the end-to-end tests and the benchmarks.
//
// Without --set (or with --set demo) it writes the demo shoot below. With
// --set NAME it writes a realistic dark-frame set instead (clean, high-iso,
// glow, clusters, lines, flicker, bayer, raw12 or raw14; see shoot/dark_sets.h): by
// default 8 frames of 3000x2000 with 200 hot spots, a truth.txt and a
// config.xml. --frames and --format (png or jpg) apply to the sets only, the
// frame, photo and PNG counts to the demo shoot only.
//
// The demo shoot:
//   OUT/dark/      dark frames: grey JPEGs (dark_01.jpg...) and PNGs
//   OUT/photos/    colour photographs with the same hot pixels burnt in:
//                  JPEGs alternating 4:2:0 and 4:2:2 chroma subsampling, each
//                  with an Exif APP1 and a COM marker, then PNGs
//   OUT/clean/     the photographs before the hot pixels, as lossless PNG
//   OUT/healed/    empty, for a healing run
//   OUT/config.xml detect and heal sections with paths relative to OUT
//   OUT/planted.txt  the planted hot pixels (format below)
//
// Everything follows from the seed and the options: the same call writes
// the same bytes. The random numbers come from a generator of our own, not
// from <random>'s distributions, whose output differs between libraries.
//
// planted.txt:
//   # comment lines
//   size W H
//   pixel X Y STRENGTH KIND EXPECTED
// KIND is single, edge (within 3 pixels of the border), cluster (within a
// few pixels of another hot pixel), plateau (two equal neighbours) or border
// (on the outermost row or column). EXPECTED is what the detection method
// gives: found, or missed for a plateau (no pixel of it is a
// strict maximum) and for the border (the scan never looks there).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "shoot/dark_sets.h"
#include "shoot/files.h"
#include "shoot/random.h"

namespace {

using shoot::JpegOptions;
using shoot::makeFolder;
using shoot::mix;
using shoot::numbered;
using shoot::Random;
using shoot::writeJpeg;
using shoot::writePng;
using shoot::writeText;

struct Options {
    std::string out;
    std::uint64_t seed = 1;
    int width = 1536;
    int height = 1024;
    int jpegFrames = 6;
    int pngFrames = 2;
    int photos = 4;  // JPEG photographs
    int pngPhotos = 1;
    int hot = 40;  // hot pixels the method can find; the plateau pair and the border one come on top
    int quality = 92;
    std::string set = "demo";
    int frames = 8;  // of a set
    std::string format;
    bool widthGiven = false, heightGiven = false, hotGiven = false;
    std::vector<std::string> demoOnly, setOnly;  // options given that suit one kind of output only
};

// Asked for (--help): the usage on stdout and status 0; else the problem
// first, on stderr, and status 2.
[[noreturn]] void usage(const std::string& problem) {
    const bool asked = problem.empty();
    if (!asked) std::fprintf(stderr, "make_sample_shoot: %s\n", problem.c_str());
    std::fprintf(asked ? stdout : stderr,
                 "usage: make_sample_shoot --out DIR [--seed N] [--width W] [--height H]\n"
                 "         [--jpeg-frames N] [--png-frames N] [--photos N] [--png-photos N]\n"
                 "         [--hot N] [--quality Q]\n"
                 "       make_sample_shoot --out DIR --set NAME [--seed N] [--width W] [--height H]\n"
                 "         [--frames N] [--format png|jpg] [--hot N] [--quality Q]\n"
                 "       NAME: demo, clean, high-iso, glow, clusters, lines, flicker, bayer, raw12 or raw14\n");
    std::exit(asked ? 0 : 2);
}

long parseNumber(const std::string& option, const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        usage(option + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") usage("");
        if (i + 1 >= argc) usage(option + " needs a value");
        const char* value = argv[++i];
        if (option == "--out")
            o.out = value;
        else if (option == "--seed")
            o.seed = static_cast<std::uint64_t>(parseNumber(option, value, 0, 1L << 62));
        else if (option == "--width")
            o.width = static_cast<int>(parseNumber(option, value, 64, 30000)), o.widthGiven = true;
        else if (option == "--height")
            o.height = static_cast<int>(parseNumber(option, value, 64, 30000)), o.heightGiven = true;
        else if (option == "--jpeg-frames")
            o.jpegFrames = static_cast<int>(parseNumber(option, value, 0, 9999));
        else if (option == "--png-frames")
            o.pngFrames = static_cast<int>(parseNumber(option, value, 0, 9999));
        else if (option == "--photos")
            o.photos = static_cast<int>(parseNumber(option, value, 0, 9999));
        else if (option == "--png-photos")
            o.pngPhotos = static_cast<int>(parseNumber(option, value, 0, 9999));
        else if (option == "--hot")
            o.hot = static_cast<int>(parseNumber(option, value, 0, 100000)), o.hotGiven = true;
        else if (option == "--quality")
            o.quality = static_cast<int>(parseNumber(option, value, 1, 100));
        else if (option == "--set")
            o.set = value;
        else if (option == "--frames")
            o.frames = static_cast<int>(parseNumber(option, value, 1, shoot::kMaxSetFrames));
        else if (option == "--format")
            o.format = value;
        else
            usage("unknown option " + option);
        if (option == "--jpeg-frames" || option == "--png-frames" || option == "--photos" || option == "--png-photos") {
            o.demoOnly.push_back(option);
        }
        if (option == "--frames" || option == "--format") o.setOnly.push_back(option);
    }
    if (o.out.empty()) usage("--out is required");
    if (o.set != "demo" && !shoot::isDarkSet(o.set)) usage("unknown set " + o.set);
    if (o.set == "demo" && !o.setOnly.empty()) usage(o.setOnly.front() + " is for the dark-frame sets only");
    if (o.set != "demo" && !o.demoOnly.empty()) usage(o.demoOnly.front() + " is for the demo shoot only");
    if (!o.format.empty() && o.format != "png" && o.format != "jpg") usage("--format is png or jpg");
    if (o.set == "bayer" && o.format == "png") usage("the bayer set is written as JPEG only");
    return o;
}

struct Planted {
    int x, y, strength;
    std::string kind;
    bool findable;
};

struct Layout {
    std::vector<Planted> pixels;
    // 3 by 3 JPEG blocks kept at exactly 0 in every dark frame around the
    // plateau pair; empty when there is no pair.
    cv::Rect quietZone;
};

bool farFromAll(const std::vector<Planted>& pixels, int x, int y, int distance) {
    return std::none_of(pixels.begin(), pixels.end(),
                        [&](const Planted& p) { return std::abs(p.x - x) < distance && std::abs(p.y - y) < distance; });
}

bool outside(const cv::Rect& zone, int x, int y, int margin) {
    return zone.empty() || x < zone.x - margin || x >= zone.x + zone.width + margin || y < zone.y - margin ||
           y >= zone.y + zone.height + margin;
}

// Hot pixels of different origins must not disturb each other's peak in the
// smoothed mean (a 9 by 9 Gaussian of sigma 1.7), so they keep this distance;
// members of one cluster stand closer on purpose.
constexpr int kSpacing = 14;

Layout plantHotPixels(const Options& o) {
    Random random(mix(o.seed, 1));
    Layout layout;
    const int w = o.width, h = o.height;

    // The plateau: two equal neighbours with exactly 0 all around, so their
    // smoothed values stay exactly equal. They straddle the centre of a JPEG
    // block; the pair is lit in the lossless frames only, since a JPEG would
    // ring around it unevenly.
    if (o.pngFrames > 0 && w >= 96 && h >= 96) {
        const int bx = random.between(2, w / 8 - 3), by = random.between(2, h / 8 - 3);
        layout.quietZone = cv::Rect((bx - 1) * 8, (by - 1) * 8, 24, 24);
        const int strength = 200;
        layout.pixels.push_back({bx * 8 + 3, by * 8 + 3, strength, "plateau", false});
        layout.pixels.push_back({bx * 8 + 4, by * 8 + 3, strength, "plateau", false});
    }

    // One on the outermost column or row.
    if (o.hot > 0) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const bool column = random.next() & 1;
            const int x = column ? ((random.next() & 1) ? 0 : w - 1) : random.between(8, w - 9);
            const int y = column ? random.between(8, h - 9) : ((random.next() & 1) ? 0 : h - 1);
            if (farFromAll(layout.pixels, x, y, kSpacing) && outside(layout.quietZone, x, y, kSpacing)) {
                layout.pixels.push_back({x, y, random.between(150, 230), "border", false});
                break;
            }
        }
    }

    const int edges = o.hot * 15 / 100;
    const int clustered = o.hot / 4;
    int placed = 0;
    int attempts = 0;
    auto fits = [&](int x, int y, int spacing) {
        return x >= 1 && y >= 1 && x <= w - 2 && y <= h - 2 && farFromAll(layout.pixels, x, y, spacing) &&
               outside(layout.quietZone, x, y, kSpacing);
    };

    // Near the border, but inside the scanned area.
    while (placed < edges && ++attempts < 100000) {
        const int offset = random.between(1, 3);
        int x = random.between(8, w - 9), y = random.between(8, h - 9);
        switch (random.next() % 4) {
        case 0: x = offset; break;
        case 1: x = w - 1 - offset; break;
        case 2: y = offset; break;
        default: y = h - 1 - offset; break;
        }
        if (!fits(x, y, kSpacing)) continue;
        layout.pixels.push_back({x, y, random.between(110, 240), "edge", true});
        ++placed;
    }

    // Clusters of two or three, 5 to 6 pixels apart. Strengths within a
    // cluster stay within a factor of about 1.5, so the brighter one does
    // not pull the fainter one's peak onto another pixel.
    static const cv::Point kOffsets[] = {{5, 0}, {0, 5}, {4, 3}, {3, 4}, {-4, 3}, {-3, 4}, {5, 2}, {-5, 2}};
    while (placed < edges + clustered && ++attempts < 200000) {
        const int members = std::min(edges + clustered - placed, random.between(2, 3));
        const int x = random.between(12, w - 13), y = random.between(12, h - 13);
        if (!fits(x, y, kSpacing + 8)) continue;
        std::vector<cv::Point> group{{x, y}};
        while (static_cast<int>(group.size()) < members) {
            const cv::Point step = kOffsets[random.next() % std::size(kOffsets)];
            const cv::Point candidate = group.back() + step;
            const bool apart = std::all_of(group.begin(), group.end(), [&](const cv::Point& p) {
                const cv::Point d = p - candidate;
                return d.x * d.x + d.y * d.y >= 25;
            });
            if (apart) group.push_back(candidate);
        }
        const int base = random.between(150, 200);
        for (const cv::Point& p : group) {
            layout.pixels.push_back({p.x, p.y, std::min(255, base + random.between(0, 30)), "cluster", true});
        }
        placed += members;
    }

    while (placed < o.hot && ++attempts < 400000) {
        const int x = random.between(4, w - 5), y = random.between(4, h - 5);
        if (!fits(x, y, kSpacing)) continue;
        layout.pixels.push_back({x, y, random.between(100, 240), "single", true});
        ++placed;
    }
    if (placed < o.hot) throw std::runtime_error("the frame is too small for that many hot pixels");

    std::sort(layout.pixels.begin(), layout.pixels.end(),
              [](const Planted& a, const Planted& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return layout;
}

// ---- Dark frames ----------------------------------------------------------

cv::Mat darkFrame(const Options& o, const Layout& layout, int index, bool lossless) {
    Random random(mix(o.seed, 1000 + static_cast<std::uint64_t>(index)));
    cv::Mat frame(o.height, o.width, CV_8UC1);
    // A dark level of about 4 with a faint glow towards the lower right, and
    // read noise; far below anything the threshold lets through.
    for (int y = 0; y < o.height; ++y) {
        auto* row = frame.ptr<std::uint8_t>(y);
        const float glowY = static_cast<float>(y) / static_cast<float>(o.height);
        for (int x = 0; x < o.width; ++x) {
            const float glow = 2.0f * glowY * static_cast<float>(x) / static_cast<float>(o.width);
            const float v = 4.0f + glow + 1.5f * random.normal();
            row[x] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    }
    if (!layout.quietZone.empty()) frame(layout.quietZone).setTo(0);
    for (const Planted& p : layout.pixels) {
        if (p.kind == "plateau") {
            if (lossless) frame.at<std::uint8_t>(p.y, p.x) = static_cast<std::uint8_t>(p.strength);
            continue;
        }
        const float v = 4.0f + static_cast<float>(p.strength) + 3.0f * random.normal();
        frame.at<std::uint8_t>(p.y, p.x) = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    }
    return frame;
}

// ---- Photographs ----------------------------------------------------------

// Smooth noise in [0, 1]: random values on a coarse grid, bilinearly
// interpolated.
class ValueNoise {
public:
    ValueNoise(Random& random, int width, int height, int cell) : cell_(cell) {
        cols_ = width / cell + 2;
        rows_ = height / cell + 2;
        grid_.resize(static_cast<std::size_t>(cols_) * rows_);
        for (float& v : grid_) v = static_cast<float>(random.unit());
    }

    float at(int x, int y) const {
        const float fx = static_cast<float>(x) / cell_, fy = static_cast<float>(y) / cell_;
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        const float tx = fx - ix, ty = fy - iy;
        auto g = [this](int gx, int gy) { return grid_[static_cast<std::size_t>(gy) * cols_ + gx]; };
        const float top = g(ix, iy) * (1 - tx) + g(ix + 1, iy) * tx;
        const float bottom = g(ix, iy + 1) * (1 - tx) + g(ix + 1, iy + 1) * tx;
        return top * (1 - ty) + bottom * ty;
    }

private:
    int cell_, cols_, rows_;
    std::vector<float> grid_;
};

// A landscape: sky, sun, hills with texture, a few buildings with lit
// windows. Smooth areas, fine texture and hard edges, so that a repair can be
// judged on all three.
cv::Mat photograph(const Options& o, int index) {
    Random random(mix(o.seed, 5000 + static_cast<std::uint64_t>(index)));
    const int w = o.width, h = o.height;
    const ValueNoise coarse(random, w, h, std::max(8, w / 6));
    const ValueNoise medium(random, w, h, std::max(4, w / 40));
    const ValueNoise fine(random, w, h, 3);
    const float horizon = static_cast<float>(h) * static_cast<float>(0.45 + 0.15 * random.unit());
    const cv::Point sun(random.between(w / 8, w * 7 / 8), static_cast<int>(horizon * 0.35f));
    const float sunRadius = static_cast<float>(std::max(4, w / 30));

    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        auto* row = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < w; ++x) {
            float b, g, r;
            const float hill = horizon + (coarse.at(x, 0) - 0.5f) * static_cast<float>(h) * 0.2f;
            if (static_cast<float>(y) < hill) {
                const float t = static_cast<float>(y) / hill;
                b = 230.0f - 40.0f * t;
                g = 140.0f + 60.0f * t;
                r = 70.0f + 110.0f * t;
                const float dx = static_cast<float>(x - sun.x), dy = static_cast<float>(y - sun.y);
                const float d = std::sqrt(dx * dx + dy * dy);
                if (d < sunRadius)
                    b = 200.0f, g = 250.0f, r = 255.0f;
                else if (d < sunRadius * 3) {
                    const float halo = 1.0f - (d - sunRadius) / (2 * sunRadius);
                    g += 60.0f * halo, r += 80.0f * halo;
                }
            } else {
                const float texture = 0.6f * medium.at(x, y) + 0.4f * fine.at(x, y);
                b = 30.0f + 40.0f * texture;
                g = 80.0f + 90.0f * texture * coarse.at(x, y);
                r = 50.0f + 70.0f * texture;
            }
            row[x] = cv::Vec3b(cv::saturate_cast<std::uint8_t>(b), cv::saturate_cast<std::uint8_t>(g),
                               cv::saturate_cast<std::uint8_t>(r));
        }
    }
    const int buildings = random.between(2, 5);
    for (int i = 0; i < buildings; ++i) {
        const int bw = random.between(w / 20, w / 8), bh = random.between(h / 10, h / 4);
        const int bx = random.between(0, w - bw - 1);
        const int by = std::min(h - 1, static_cast<int>(horizon) + random.between(0, h / 10)) - bh;
        if (by < 0) continue;
        const cv::Vec3b wall(static_cast<std::uint8_t>(random.between(60, 120)),
                             static_cast<std::uint8_t>(random.between(60, 110)),
                             static_cast<std::uint8_t>(random.between(70, 140)));
        image(cv::Rect(bx, by, bw, bh)).setTo(cv::Scalar(wall[0], wall[1], wall[2]));
        for (int wy = by + 4; wy + 6 < by + bh; wy += 10) {
            for (int wx = bx + 4; wx + 5 < bx + bw; wx += 9) {
                if (random.next() & 1) image(cv::Rect(wx, wy, 5, 6)).setTo(cv::Scalar(120, 220, 250));
            }
        }
    }
    return image;
}

// A hot pixel shows brighter in every channel, a little warmer than grey;
// how bright depends on the exposure.
void burnIn(cv::Mat& image, const Layout& layout, double exposure) {
    for (const Planted& p : layout.pixels) {
        cv::Vec3b& px = image.at<cv::Vec3b>(p.y, p.x);
        const double s = p.strength * exposure;
        px[0] = cv::saturate_cast<std::uint8_t>(px[0] + 0.85 * s);
        px[1] = cv::saturate_cast<std::uint8_t>(px[1] + 1.0 * s);
        px[2] = cv::saturate_cast<std::uint8_t>(px[2] + 1.15 * s);
    }
}

// ---- Output ---------------------------------------------------------------

std::string plantedText(const Options& o, const Layout& layout) {
    std::string text = "# Hot pixels planted by make_sample_shoot, seed " + std::to_string(o.seed) +
                       ".\n"
                       "# pixel X Y STRENGTH KIND EXPECTED; EXPECTED is what the detection method gives:\n"
                       "# a plateau (equal neighbours) has no strict maximum, the border is never scanned.\n"
                       "size " +
                       std::to_string(o.width) + " " + std::to_string(o.height) + "\n";
    for (const Planted& p : layout.pixels) {
        text += "pixel " + std::to_string(p.x) + " " + std::to_string(p.y) + " " + std::to_string(p.strength) + " " +
                p.kind + " " + (p.findable ? "found" : "missed") + "\n";
    }
    return text;
}

// The share of pixels below the first histogram edge (8 of 32 bins): the
// smoothed dark level stays under it, and each hot pixel lifts at most about
// 25 pixels of its neighbourhood above it. The amount must not ask for more
// than that share, or the threshold moves up a bin and faint hot pixels drop
// out; 0.999, the usual setting, where the frame is large enough.
std::string amountFor(const Options& o, const Layout& layout) {
    const double total = static_cast<double>(o.width) * o.height;
    const double share = 1.0 - 40.0 * static_cast<double>(layout.pixels.size()) / total;
    const double amount = std::clamp(std::floor(share * 10000.0) / 10000.0, 0.5, 0.999);
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", amount);
    return text;
}

std::string configText(const std::string& amount) {
    return "<?xml version=\"1.0\"?>\n"
           "<config>\n" +
           shoot::detectSection(amount, "<outimage dxtext=\"-50\" dytext=\"-10\">../detected.png</outimage>") +
           " <heal>\n"
           "  <filter>photo_*</filter>\n"
           "  <indir>photos/</indir>\n"
           "  <outdir>../healed/</outdir>\n"
           "  <saveformat>jpg</saveformat>\n"
           "  <range>3</range>\n"
           "  <method>1</method>\n"
           "  <diffimages mul=\"60\">1</diffimages>\n"
           " </heal>\n"
           "</config>\n";
}

void makeShoot(const Options& o) {
    const Layout layout = plantHotPixels(o);
    const std::string comment = "Speckmend sample shoot, seed " + std::to_string(o.seed);
    for (const char* folder : {"", "/dark", "/photos", "/clean", "/healed"}) makeFolder(o.out + folder);

    const int frames = o.jpegFrames + o.pngFrames;
    for (int i = 0; i < frames; ++i) {
        const bool lossless = i >= o.jpegFrames;
        const cv::Mat frame = darkFrame(o, layout, i, lossless);
        const std::string path = o.out + "/dark/" + numbered("dark_", i + 1, frames, lossless ? ".png" : ".jpg");
        if (lossless) {
            writePng(path, frame);
        } else {
            JpegOptions jpeg;
            jpeg.quality = o.quality;
            // The third frame says it was taken upright (rotate by 90
            // degrees to view); a reader that obeys turns it out of size.
            jpeg.orientation = (i == 2) ? 6 : 1;
            jpeg.comment = comment;
            writeJpeg(path, frame, jpeg);
        }
    }

    const int photos = o.photos + o.pngPhotos;
    for (int i = 0; i < photos; ++i) {
        cv::Mat image = photograph(o, i);
        const std::string stem = numbered("photo_", i + 1, photos, "");
        writePng(o.out + "/clean/" + stem + ".png", image);
        burnIn(image, layout, 0.6 + 0.1 * (i % 4));
        if (i < o.photos) {
            JpegOptions jpeg;
            jpeg.quality = o.quality;
            jpeg.lumaV = (i % 2 == 0) ? 2 : 1;
            jpeg.orientation = (i == 2) ? 8 : 1;
            jpeg.comment = comment;
            writeJpeg(o.out + "/photos/" + stem + ".jpg", image, jpeg);
        } else {
            writePng(o.out + "/photos/" + stem + ".png", image);
        }
    }

    writeText(o.out + "/config.xml", configText(amountFor(o, layout)));
    writeText(o.out + "/planted.txt", plantedText(o, layout));
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    try {
        if (options.set == "demo") {
            makeShoot(options);
        } else {
            shoot::DarkSetOptions set;
            set.set = options.set;
            set.out = options.out;
            set.seed = options.seed;
            if (options.widthGiven) set.width = options.width;
            if (options.heightGiven) set.height = options.height;
            if (options.hotGiven) set.hot = options.hot;
            set.frames = options.frames;
            set.quality = options.quality;
            set.format = options.format;
            shoot::makeDarkSet(set);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_sample_shoot: %s\n", error.what());
        return 1;
    }
    return 0;
}

// make_photo_set: writes a folder of ordinary photographs with the same hot
// pixels in every one, for the photos detector's benchmark.
//
//   make_photo_set --out DIR --kind varied|series [--photos N] [--width W]
//                  [--height H] [--hot N] [--lights N] [--seed S] SOURCE...
//
// The scenes are crops of the SOURCE photographs (any format OpenCV reads),
// scaled up where a source is smaller than the frame. Each photo goes
// through a camera as a sensor with hot pixels would take it: the scene is
// sampled on an RGGB mosaic, sensor noise and the hot sites (a single site
// each, the same sites in every photo, strengths from barely visible to
// saturated) are added there, the mosaic is demosaiced and the result saved
// as a JPEG at quality 92 with 4:2:0 chroma, as cameras save them.
//
//   varied  every photo another scene: sources in turn, each crop at its own
//           place, scale and exposure (from a bright day to a night shot)
//   series  one night scene from a tripod that moves by up to 2 pixels
//           between photos, with --lights small point lights (default 30)
//           in the scene, which move with it
//
// Writes DIR/photos/photo_NN.jpg, DIR/truth.txt (the hot sites, in the
// dark-frame sets' format, shoot/truth.h; the strength is what a site adds
// to the saved photo, in its strongest channel within a pixel of it, the
// median over the photos where it adds 3 DN or more), DIR/lights.txt ("light X Y" for every place a point light
// peaked in some photo), DIR/mean/mean.png (the mean of the photos as they
// decode, for the baseline) and DIR/config.xml (the photos detector on
// photos/) and DIR/config-baseline.xml (the local detector on mean/).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "shoot/files.h"
#include "shoot/random.h"
#include "shoot/truth.h"

namespace {

struct Options {
    std::string out;
    std::string kind = "varied";
    int photos = 10, width = 1600, height = 1200, hot = 100, lights = 30;
    std::uint64_t seed = 1;
    std::vector<std::string> sources;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "make_photo_set: %s\n", why.c_str());
    std::fprintf(stderr,
                 "usage: make_photo_set --out DIR --kind varied|series [--photos N] [--width W] [--height H] "
                 "[--hot N] [--lights N] [--seed S] SOURCE...\n");
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--out")
            o.out = value();
        else if (a == "--kind")
            o.kind = value();
        else if (a == "--photos")
            o.photos = std::atoi(value().c_str());
        else if (a == "--width")
            o.width = std::atoi(value().c_str());
        else if (a == "--height")
            o.height = std::atoi(value().c_str());
        else if (a == "--hot")
            o.hot = std::atoi(value().c_str());
        else if (a == "--lights")
            o.lights = std::atoi(value().c_str());
        else if (a == "--seed")
            o.seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (!a.empty() && a[0] == '-')
            usage("unknown option " + a);
        else
            o.sources.push_back(a);
    }
    if (o.out.empty()) usage("--out is required");
    if (o.kind != "varied" && o.kind != "series") usage("--kind must be varied or series");
    if (o.photos < 1 || o.width < 64 || o.height < 64 || o.hot < 0 || o.lights < 0) usage("bad counts or sizes");
    if (o.sources.empty()) usage("no source photographs");
    return o;
}

struct HotSite {
    int x, y;
    int strength;
    int channel;  // 0 blue, 1 green, 2 red
};

// RGGB: red at even rows and columns, blue at odd ones.
int siteChannel(int x, int y) {
    if (y % 2 == 0) return x % 2 == 0 ? 2 : 1;
    return x % 2 == 0 ? 1 : 0;
}

// OpenCV names its Bayer codes after another corner of the pattern than the
// one we start with; the code that turns a red mosaic red is the right one.
int demosaicCode() {
    for (const int code :
         {cv::COLOR_BayerBG2BGR, cv::COLOR_BayerGB2BGR, cv::COLOR_BayerRG2BGR, cv::COLOR_BayerGR2BGR}) {
        cv::Mat mosaic(8, 8, CV_8UC1);
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) mosaic.at<uchar>(y, x) = siteChannel(x, y) == 2 ? 200 : 0;
        }
        cv::Mat out;
        cv::cvtColor(mosaic, out, code);
        const cv::Vec3b c = out.at<cv::Vec3b>(4, 4);
        if (c[2] > 150 && c[1] < 50 && c[0] < 50) return code;
    }
    throw std::runtime_error("no Bayer code gives RGGB");
}

std::vector<HotSite> plantSites(const Options& o, shoot::Random& random) {
    std::vector<HotSite> sites;
    std::set<std::pair<int, int>> taken;
    while (static_cast<int>(sites.size()) < o.hot) {
        const int x = random.between(8, o.width - 9), y = random.between(8, o.height - 9);
        bool near = false;
        for (const HotSite& s : sites) near = near || (std::abs(s.x - x) <= 6 && std::abs(s.y - y) <= 6);
        if (near) continue;
        // Log-uniform from 5 DN, barely visible, to 255, saturated; every
        // eighth one saturated outright.
        const int strength =
            sites.size() % 8 == 7 ? 255 : static_cast<int>(std::lround(5.0 * std::pow(51.0, random.unit())));
        sites.push_back({x, y, strength, siteChannel(x, y)});
    }
    return sites;
}

// Scales an 8-bit value's light by `exposure` (in linear light).
cv::Mat exposed(const cv::Mat& scene, double exposure) {
    cv::Mat table(1, 256, CV_8UC1);
    for (int v = 0; v < 256; ++v) {
        const double linear = std::pow(v / 255.0, 2.2) * exposure;
        table.at<uchar>(v) = cv::saturate_cast<uchar>(255.0 * std::pow(std::min(linear, 1.0), 1.0 / 2.2));
    }
    cv::Mat out;
    cv::LUT(scene, table, out);
    return out;
}

// A crop of `size` from the source at a random place and scale.
cv::Mat randomCrop(const cv::Mat& source, cv::Size size, shoot::Random& random, double extraScale) {
    const double cover =
        std::max(static_cast<double>(size.width) / source.cols, static_cast<double>(size.height) / source.rows);
    const double scale = std::max(cover, std::min(1.0, cover * extraScale));
    cv::Mat scaled;
    if (std::fabs(scale - 1.0) > 1e-6) {
        cv::resize(source, scaled, cv::Size(), scale, scale, scale < 1.0 ? cv::INTER_AREA : cv::INTER_CUBIC);
    } else {
        scaled = source;
    }
    const int w = std::max(scaled.cols, size.width), h = std::max(scaled.rows, size.height);
    if (w != scaled.cols || h != scaled.rows) cv::resize(scaled, scaled, cv::Size(w, h));
    const int left = random.between(0, w - size.width), top = random.between(0, h - size.height);
    return scaled(cv::Rect(left, top, size.width, size.height)).clone();
}

// The camera's mosaic: the scene sampled on it, with sensor noise.
cv::Mat sampleMosaic(const cv::Mat& scene, shoot::Random& random) {
    cv::Mat mosaic(scene.size(), CV_8UC1);
    for (int y = 0; y < scene.rows; ++y) {
        const cv::Vec3b* in = scene.ptr<cv::Vec3b>(y);
        uchar* out = mosaic.ptr<uchar>(y);
        for (int x = 0; x < scene.cols; ++x) {
            out[x] = cv::saturate_cast<uchar>(in[x][siteChannel(x, y)] + 1.2f * random.normal());
        }
    }
    return mosaic;
}

// The photo as the camera saves it, decoded again; with the hot sites or without.
cv::Mat develop(cv::Mat mosaic, const std::vector<HotSite>& sites, int code, const shoot::JpegOptions& jpeg,
                std::string& bytes) {
    for (const HotSite& s : sites) {
        uchar& v = mosaic.at<uchar>(s.y, s.x);
        v = cv::saturate_cast<uchar>(v + s.strength);
    }
    cv::Mat photo;
    cv::cvtColor(mosaic, photo, code);
    bytes = shoot::encodeJpeg(photo, jpeg);
    const std::vector<uchar> encoded(bytes.begin(), bytes.end());
    return cv::imdecode(encoded, cv::IMREAD_COLOR);
}

// How far a site stands above what the photo would show without it: the
// most any channel gained within a pixel of the site.
int gain(const cv::Mat& hot, const cv::Mat& clean, const HotSite& s) {
    int most = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const cv::Vec3b a = hot.at<cv::Vec3b>(s.y + dy, s.x + dx), b = clean.at<cv::Vec3b>(s.y + dy, s.x + dx);
            for (int c = 0; c < 3; ++c) most = std::max(most, a[c] - b[c]);
        }
    }
    return most;
}

// How far the tripod of a series moves between photos, at most.
constexpr int kMove = 2;

// The night scene of a series, kMove larger than the frame on every side,
// with its point lights: small Gaussian dots, warm white, smaller than a
// demosaiced site.
cv::Mat makeStage(const Options& o, const std::vector<cv::Mat>& sources, shoot::Random& random,
                  std::vector<std::pair<cv::Point, int>>& lights) {
    cv::Mat stage =
        exposed(randomCrop(sources[static_cast<std::size_t>(random.between(0, static_cast<int>(sources.size()) - 1))],
                           cv::Size(o.width + 2 * kMove, o.height + 2 * kMove), random, 1.3),
                0.06);
    for (int i = 0; i < o.lights; ++i) {
        lights.push_back({cv::Point(random.between(10, stage.cols - 11), random.between(10, stage.rows - 11)),
                          random.between(90, 255)});
    }
    for (const auto& [at, peak] : lights) {
        for (int dy = -3; dy <= 3; ++dy) {
            for (int dx = -3; dx <= 3; ++dx) {
                const double g = peak * std::exp(-(dx * dx + dy * dy) / (2.0 * 0.6 * 0.6));
                cv::Vec3b& v = stage.at<cv::Vec3b>(at.y + dy, at.x + dx);
                v[0] = cv::saturate_cast<uchar>(v[0] + 0.8 * g);
                v[1] = cv::saturate_cast<uchar>(v[1] + 0.95 * g);
                v[2] = cv::saturate_cast<uchar>(v[2] + g);
            }
        }
    }
    return stage;
}

void writeConfigs(const std::string& out) {
    shoot::writeText(out + "/config.xml",
                     "<config>\n <detect>\n  <indir>photos/</indir>\n  <outfile>../hotpixels.xml</outfile>\n"
                     "  <detector>photos</detector>\n </detect>\n</config>\n");
    shoot::writeText(out + "/config-baseline.xml",
                     "<config>\n <detect>\n  <indir>mean/</indir>\n  <filter>*.png</filter>\n"
                     "  <outfile>../hotpixels-baseline.xml</outfile>\n  <detector>local</detector>\n </detect>\n"
                     "</config>\n");
}

}  // namespace

// truth.txt: each site with the median of its gains.
void writeTruth(const Options& o, const std::vector<HotSite>& sites, std::vector<std::vector<int>>& gains) {
    shoot::Truth truth;
    truth.set = "photos-" + o.kind;
    truth.width = o.width;
    truth.height = o.height;
    truth.frames = o.photos;
    truth.tolerance = 2;
    static const char* const kChannels[] = {"blue", "green", "red"};
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const HotSite& s = sites[i];
        std::vector<int>& g = gains[i];
        std::nth_element(g.begin(), g.begin() + static_cast<std::ptrdiff_t>(g.size() / 2), g.end());
        shoot::Spot spot;
        spot.kind = "pixel";
        spot.x = spot.left = spot.right = s.x;
        spot.y = spot.top = spot.bottom = s.y;
        spot.strength = g.empty() ? 0.0 : g[g.size() / 2];
        spot.channel = kChannels[s.channel];
        truth.spots.push_back(spot);
    }
    shoot::writeText(o.out + "/truth.txt", shoot::truthText(truth, {"# made by make_photo_set, kind " + o.kind}));
}

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    try {
        std::vector<cv::Mat> sources;
        for (const std::string& path : o.sources) {
            cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
            if (!image.empty() && image.cols >= 200 && image.rows >= 200) sources.push_back(image);
        }
        if (sources.empty()) throw std::runtime_error("no source photograph could be read");
        shoot::Random random(shoot::mix(o.seed, 22));
        const int code = demosaicCode();
        const std::vector<HotSite> sites = plantSites(o, random);
        shoot::makeFolder(o.out);
        shoot::makeFolder(o.out + "/photos");
        shoot::makeFolder(o.out + "/mean");
        const cv::Size size(o.width, o.height);
        shoot::JpegOptions jpeg;
        jpeg.quality = 92;

        // The series: one night scene with room to move, and its lights.
        cv::Mat stage;
        std::vector<std::pair<cv::Point, int>> lights;
        if (o.kind == "series") stage = makeStage(o, sources, random, lights);

        std::set<std::pair<int, int>> lightPlaces;
        // Per site, its gain in each photo where it shows at all.
        constexpr int kVisible = 3;
        std::vector<std::vector<int>> gains(sites.size());
        cv::Mat sum = cv::Mat::zeros(size, CV_64FC3);
        for (int i = 0; i < o.photos; ++i) {
            cv::Mat scene;
            if (o.kind == "varied") {
                const cv::Mat& source = sources[static_cast<std::size_t>(i) % sources.size()];
                scene = randomCrop(source, size, random, 1.0 + random.unit());
                if (random.between(0, 1)) cv::flip(scene, scene, 1);
                scene = exposed(scene, std::pow(10.0, -1.3 * random.unit()));
            } else {
                const int dx = random.between(-kMove, kMove), dy = random.between(-kMove, kMove);
                scene = stage(cv::Rect(kMove + dx, kMove + dy, o.width, o.height)).clone();
                for (const auto& light : lights)
                    lightPlaces.insert({light.first.x - kMove - dx, light.first.y - kMove - dy});
            }
            const cv::Mat mosaic = sampleMosaic(scene, random);
            std::string bytes, cleanBytes;
            const cv::Mat decoded = develop(mosaic.clone(), sites, code, jpeg, bytes);
            const cv::Mat clean = develop(mosaic.clone(), {}, code, jpeg, cleanBytes);
            for (std::size_t s = 0; s < sites.size(); ++s) {
                const int g = gain(decoded, clean, sites[s]);
                if (g >= kVisible) gains[s].push_back(g);
            }
            const std::string name = shoot::numbered(o.out + "/photos/photo_", i + 1, o.photos, ".jpg");
            shoot::writeText(name, bytes);
            cv::accumulate(decoded, sum);
        }
        cv::Mat mean;
        sum.convertTo(mean, CV_8UC3, 1.0 / o.photos);
        shoot::writePng(o.out + "/mean/mean.png", mean);

        writeTruth(o, sites, gains);
        std::string lightText = "# point lights of the scene: every place one peaked in some photo\n";
        for (const auto& [x, y] : lightPlaces)
            lightText += "light " + std::to_string(x) + " " + std::to_string(y) + "\n";
        shoot::writeText(o.out + "/lights.txt", lightText);
        writeConfigs(o.out);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_photo_set: %s\n", error.what());
        return 1;
    }
    return 0;
}

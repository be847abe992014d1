// Hot sites of a colour sensor, found through demosaicing and halved chroma.
//
// After demosaicing and 4:2:0 a weak hot site keeps a fraction of its height
// in any one channel (a blue one often a quarter), so a test of each channel
// against its own threshold misses it. Here every pixel that stands out a
// little in some channel is tested against the footprint a hot site at its
// phase of the mosaic leaves (site_footprint.h), over all channels together,
// and is hot when the site's estimated amplitude stands out from the noise
// of that same estimate and reaches the floor in DN at the sensor.
//
// JPEG noise is not the sensor's Gaussian noise, so the noise is that of the
// statistic itself, with its tail's length (site_noise.h). The surroundings
// of strong sites are left out of that measurement: their ringing dips
// below the background as well.
//
// Call order: after the per-channel background and tile noise and after the
// lines; the spots are then merged from the candidates as in a grey frame.
// Memory: the pixels that stand out and a sample of one row in five or so.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"
#include "detect/local/hot_spots.h"
#include "detect/local/local_background.h"
#include "detect/local/site_footprint.h"
#include "detect/local/site_noise.h"
#include "detect/local/site_surroundings.h"
#include "detect/local/tile_noise.h"

namespace speckmend {

struct ColourSiteSettings {
    double noise = 5.0;  // the threshold, in standard deviations of the statistic's noise (areaMultiple)
    double floor = 6.0;  // and never below this many DN at the sensor
};

struct ColourSites {
    SiteFootprint footprint;
    // Pixels whose site passes, with its amplitude over the threshold there
    // (above 1); scan order.
    std::vector<SpotCandidate> candidates;
    // The range over tiles and phases, in DN at the sensor.
    float noiseLow = 0, noiseHigh = 0, thresholdLow = 0, thresholdHigh = 0;
    std::size_t sitesLearnt = 0;
};

// A pixel that stands out a little in some channel, to be tested: its
// highest channel's residual over that channel's noise.
struct Standout {
    cv::Point at;
    float level;
};

// The level a pixel's highest channel must reach to be tested: the
// footprint's estimate of a site is seldom more than a fifth more
// significant than its best single channel, so nothing that could pass is
// left out, and the share of pixels tested stays small.
float standoutLevel(const ColourSiteSettings& settings);

// Where the strong sites among `standouts` (twelve times their channel's
// noise or more) ring: the pixels within kRingingReach of them, which a
// measure of the noise leaves out. Nothing when they cover more than half
// the frame (a dense map), where too little would be left to measure.
std::optional<SiteSurroundings> strongSiteSurroundings(cv::Size size, const std::vector<Standout>& standouts);

// The standouts of one row, worked out channel by channel alongside other
// work on the same row (the detector's scan has each channel's background
// row at hand): addChannel for channels 0, 1 and 2 in turn, then collect.
class StandoutRow {
public:
    explicit StandoutRow(int width) : highest_(static_cast<std::size_t>(width)) {}

    // Channel c of row y: `meanRow` the mean's row (channels interleaved),
    // `background` channel c's background along it, `tiles` its noise.
    void addChannel(const float* meanRow, int channels, int c, const float* background, const TileNoise& tiles, int y);
    // The row's pixels at `level` or above, appended in order.
    void collect(int y, float level, std::vector<Standout>& out) const;

private:
    std::vector<float> highest_;
};

// Every pixel of `mean` at standoutLevel or above, in scan order.
std::vector<Standout> findStandouts(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                    const std::vector<const TileNoise*>& noise, const ColourSiteSettings& settings);

// `mean`: 32-bit float, three channels; `backgrounds` and `noise`: the models
// of each of its channels; `found`: its standouts (findStandouts), or
// nothing to have them found here; `highest`: the mean's highest value over
// all channels, from a pass the caller makes anyway, or nothing to have it
// found here (a pass of its own over the whole mean). Pixels in a line's band are not taken to
// learn from. Nothing when some phase of the mosaic has too few strong lone
// sites to learn its footprint from; the channels are then to be tested
// alone.
std::optional<ColourSites> findColourSites(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                           const std::vector<const TileNoise*>& noise,
                                           const std::vector<HotLine>& lines, const ColourSiteSettings& settings,
                                           const std::vector<Standout>* found = nullptr,
                                           std::optional<float> highest = std::nullopt);

// Each pixel of `found` and its eight neighbours inside a frame of `size`,
// in raster order, each once: the pixels the site test looks at, as a
// site's estimate peaks at the site, which after halved chroma may lie a
// pixel from the channel that shows it highest. Standouts come in raster
// order from findStandouts and the detector's scan; then the work is
// linear, row by row (any other order is sorted first).
std::vector<cv::Point> pointsAroundStandouts(const std::vector<Standout>& found, cv::Size size);

// Which of the spots (peaks, radii and strengths in DN in their strongest
// channel, as the map gets them) are the JPEG ringing of something stronger
// rather than hot sites: ringing has a source, a pixel within kRingingReach
// beyond the spot that stands kRingingRatio times as high in some channel
// (a strong hot site, a saturated pixel, a sharp edge) or a site that does
// at the sensor, both measured through the footprint (a strong blue or red
// site, whose ringing in the chroma keeps more of its height than the site
// in its own channel), and it has not a site's shape
// (SiteFootprint::fit below kRingingFit at the peak). A spot with a site's
// shape is kept however near a stronger one, and one without a source
// however it looks.
constexpr int kRingingReach = 16;
constexpr float kRingingRatio = 4.0f;
constexpr float kRingingFit = 0.82f;
std::vector<bool> ringingSpots(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                               const ColourSites& sites, const std::vector<cv::Point>& peaks,
                               const std::vector<std::int32_t>& radii, const std::vector<float>& strengths);

}  // namespace speckmend

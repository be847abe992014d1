// Judging one photograph, stripe by stripe, in a few integer passes over
// each channel and the scoring of the few pixels that may stand out.
#include "detect/photos/photo_judgement.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "detect/local/tile_noise.h"

namespace speckmend {
namespace {

constexpr int kStripe = 64;
// Rows read above and below a stripe: 2 for the median, 4 for the
// ring, 1 for the peak test, so that a stripe's pixels are judged as in the
// whole; as many columns beside the frame, mirrored, less the peak test's.
constexpr int kMargin = 7;
constexpr int kSide = 6;
constexpr int kTileWidth = 192;
// The median rows a stripe has from the one above: its rows [2, 2 +
// kCarried) are that stripe's last rows that have a median of their own.
constexpr int kCarried = 2 * kMargin - 4;
constexpr int kRingPixels = 9 * 9 - 5 * 5;
// Residuals are held in sixteenths of a DN, so that the footprint's
// weighted sum of them (its weights sum to 16) is a whole number of
// sixteenths as well and both are counted in the same histograms; their
// magnitudes in whole DN, whose 9 by 9 sums fit 16 bits.
constexpr int kResidualScale = 16;
// The mean absolute deviation of Gaussian noise is 0.798 standard deviations.
constexpr float kMeanAbsoluteToSigma = 1.2533f;

// A hot site that went through demosaicing lies over its 3 by 3 neighbours
// with half and a quarter of its height; the residual weighted with that
// footprint keeps 56 percent of the site's height and 38 percent of the
// noise of independent pixels, so a faint site (a blue one, which JPEG's
// subsampled chroma spreads most) stands out where its peak alone does not.
constexpr float kFootprintNoise = 0.375f;
constexpr float kFootprintFloor = 0.5f;

// The noise of a tile is measured on one pixel in kSampleSpacing, on a
// slanted lattice that meets every place of the JPEG blocks: about 500
// values of a judgeable tile (192 columns by the stripe's 66 score rows),
// enough for its 95th percentile.
constexpr int kSampleSpacing = 25;
constexpr int kNoiseReach = 32;
constexpr int kSampleSlant = 7;

// The index of row or column `i` of a frame `n` long, mirrored at its ends
// as often as it takes (a crop of the sheet is narrower than the margins).
int mirrored(int i, int n) {
    const int period = 2 * n;
    i %= period;
    if (i < 0) i += period;
    return i < n ? i : period - 1 - i;
}

// The planes of one stripe, kept from stripe to stripe so that a photo
// allocates them once. Rows: the stripe's rows and kMargin above and below;
// columns: kSide beyond each edge of the frame.
//
// The channels' planes lie side by side in one image, `spacing` columns
// apart, and so do their medians: one call of the image library's median
// works them all out, in about a sixth less time than a call per channel
// (a plane's two outer columns then see its neighbour, and they are never
// read). The spacing is odd so that the planes begin at different places of
// a vector: the library's split writes planes that all begin at the same one
// with stores that bypass the cache, and the median reads them at once.
struct Workspace {
    cv::Mat sideBySide;           // CV_8UC1, the channels' planes
    std::vector<cv::Mat> planes;  // CV_8UC1, the channels, views of `sideBySide`
    cv::Mat plane;                // the one being judged
    cv::Mat medians;              // CV_8UC1, of the 5 by 5 square, laid out as `sideBySide`
    cv::Mat median;               // the channel's of `medians`
    int spacing = 0;
    // The top of the last stripe, whose last rows of planes and medians are
    // the first the next stripe needs, -1 before the first.
    int lastTop = -1;
    cv::Mat carried;    // those rows while the planes or medians are sized
    cv::Mat magnitude;  // CV_8UC1, |plane - median| in DN
    cv::Mat judgeable;  // CV_8UC1, the score rows only, frame columns
    // Per column, the magnitudes summed over the 9 rows around the row being
    // judged, and over the four of those 3 and 4 rows from it.
    std::vector<std::uint16_t> ring9, ringOuter;
    std::vector<float> tileSigma, tileSigmaFiltered;  // per tile of the stripe
    std::vector<int> plainBar, filteredBar;
    std::vector<std::uint16_t> tileOf;  // per column of the frame: a division per sample costs more than its use
    std::vector<std::vector<std::uint32_t>> samples, filteredSamples;  // per tile
    std::vector<std::uint32_t*> plainOf, filteredOf;                   // their data
    // The score rows (the stripe's and one beyond each end, for the peak
    // test), zero but where a score passed 1, as `passed` lists.
    cv::Mat score;                            // CV_32FC1: residual over threshold, in the channel where it is highest
    cv::Mat strongest;                        // CV_8UC1: that channel's residual in DN
    std::vector<std::pair<int, int>> passed;  // (score row, column)
};

// The residual of a pixel against its median, in sixteenths of a DN. It is
// worked out where it is read, from the plane and its median: only the
// sampled and the scored pixels and their footprints need it, and a plane
// of it would be written and read again for every pixel.
// Those of row i of the stripe, by its column x of the frame; the rows
// above and below for the footprint.
struct Residuals {
    const uchar* c[3];  // the plane's rows i - 1, i, i + 1 at the frame's first column
    const uchar* m[3];  // the median's

    Residuals(const cv::Mat& plane, const cv::Mat& median, int i) {
        for (int k = 0; k < 3; ++k) {
            c[k] = plane.ptr<uchar>(i - 1 + k) + kSide;
            m[k] = median.ptr<uchar>(i - 1 + k) + kSide;
        }
    }
    int at(int x) const { return kResidualScale * (c[1][x] - m[1][x]); }
    // The residual weighted with the footprint at x, in sixteenths of the
    // residual's unit.
    int footprintSum(int x) const {
        int sum = 0;
        for (int k = 0; k < 3; ++k) {
            const int row = (c[k][x - 1] - m[k][x - 1]) + 2 * (c[k][x] - m[k][x]) + (c[k][x + 1] - m[k][x + 1]);
            sum += (k == 1 ? 2 : 1) * row;
        }
        return kResidualScale * sum;
    }
};

// Row kernels: plain loops the compiler vectorises, their pointers
// promised not to overlap, built for the processor's wider vectors as well
// and the widest it has chosen when the program loads.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define kRowKernel __attribute__((target_clones("avx2", "default")))
#else
#define kRowKernel
#endif
// What ringRow compares with, in bytes: a median no brighter than
// `darkest` is dark (none is when `dark` is 0), and a pixel at least `least`
// DN above it can be scored (none can when `scored` is 0).
struct ByteLimits {
    uchar darkest, dark, least, scored;
};

ByteLimits byteLimits(int darkest, int least) {
    return {static_cast<uchar>(std::clamp(darkest, 0, 255)), static_cast<uchar>(darkest >= 0 ? 1 : 0),
            static_cast<uchar>(std::clamp(least, 0, 255)), static_cast<uchar>(least <= 255 ? 2 : 0)};
}

// `m`: the magnitude of the residual. Bytes, so that a vector holds as
// many pixels as it can.
kRowKernel void magnitudeRow(const uchar* __restrict c, const uchar* __restrict median, int width,
                             uchar* __restrict m) {
    for (int j = 2; j < width - 2; ++j) {
        const uchar above = c[j] > median[j] ? static_cast<uchar>(c[j] - median[j]) : 0;
        const uchar below = c[j] > median[j] ? 0 : static_cast<uchar>(median[j] - c[j]);
        m[j] = static_cast<uchar>(above | below);
    }
}

// From row i - 1 to row i: `in` is row i + 4, `out` row i - 5, `inOuter`
// row i - 3 and `outOuter` row i + 2. Sums in 16 bits, which they fit
// (their wrapping in between is undone).
kRowKernel void slideSums(const uchar* __restrict in, const uchar* __restrict out, const uchar* __restrict inOuter,
                          const uchar* __restrict outOuter, int width, std::uint16_t* __restrict v9,
                          std::uint16_t* __restrict outer) {
    for (int j = 2; j < width - 2; ++j) {
        const auto moved = static_cast<std::uint16_t>(in[j] - out[j]);
        v9[j] = static_cast<std::uint16_t>(v9[j] + moved);
        outer[j] = static_cast<std::uint16_t>(outer[j] + moved + inOuter[j] - outOuter[j]);
    }
}

kRowKernel void addRow(const uchar* __restrict m, int width, std::uint16_t* __restrict v) {
    for (int j = 2; j < width - 2; ++j) v[j] = static_cast<std::uint16_t>(v[j] + m[j]);
}

// `w9`, `outer` (the column sums of Workspace::ring9 and ringOuter), `c`
// and `median` (the row's pixels and medians) at the frame's first column.
// The ring is the 9 by 9 square less the 5 by 5: the columns 3 and 4 away
// whole, the five middle ones in their outer rows. `judgeable`: 1 where the
// pixel can judge (a smooth ring, a dark median), 3 where it also stands
// far enough above its median to be scored, 0 elsewhere.
kRowKernel void ringRow(const std::uint16_t* __restrict w9, const std::uint16_t* __restrict outer,
                        const uchar* __restrict c, const uchar* __restrict median, int cols, int smoothestSum,
                        ByteLimits limits, uchar* __restrict judgeable) {
    for (int x = 0; x < cols; ++x) {
        const auto ring = static_cast<std::uint16_t>(w9[x - 4] + w9[x - 3] + w9[x + 3] + w9[x + 4] + outer[x - 2] +
                                                     outer[x - 1] + outer[x] + outer[x + 1] + outer[x + 2]);
        const uchar above = c[x] > median[x] ? static_cast<uchar>(c[x] - median[x]) : 0;
        const uchar dark = median[x] <= limits.darkest ? limits.dark : 0;
        const uchar scored = above >= limits.least ? limits.scored : 0;
        const auto f = static_cast<uchar>(dark | (dark ? scored : 0));
        judgeable[x] = static_cast<uchar>(ring <= smoothestSum ? f : 0);
    }
}

kRowKernel void firstRow(const uchar* __restrict from, int cols, uchar* __restrict to) {
    for (int x = 0; x < cols; ++x) to[x] = from[x] & 1;
}

kRowKernel void orRow(const uchar* __restrict from, int cols, uchar* __restrict to) {
    for (int x = 0; x < cols; ++x) to[x] |= from[x] & 1;
}

// The next x from `x` on where `row` has bit 2, `cols` for none. About one
// pixel in three hundred is scored: the long runs of none are passed over
// 32 bytes at a time, and the pixel is found in its word by the word's
// lowest bit set, in the byte order of the processor.
int nextScored(const uchar* row, int x, int cols) {
    constexpr std::uint64_t kBits = 0x0202020202020202ull;
    constexpr int kWord = sizeof(std::uint64_t);
    while (x + 4 * kWord <= cols) {
        std::uint64_t words[4];
        std::memcpy(words, row + x, sizeof words);
        if ((words[0] | words[1] | words[2] | words[3]) & kBits) break;
        x += 4 * kWord;
    }
    while (x + kWord <= cols) {
        std::uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        if (const std::uint64_t bits = word & kBits) {
            if constexpr (std::endian::native == std::endian::little) return x + std::countr_zero(bits) / 8;
            return x + std::countl_zero(bits) / 8;
        }
        x += kWord;
    }
    while (x < cols && !(row[x] & 2)) ++x;
    return x;
}

// `image` sized to `rows` by `cols`, keeping its rows [from, from +
// count) as its first rows when `keep` (`carried` holds them meanwhile).
void resizeKeeping(cv::Mat& image, int rows, int cols, bool keep, int from, int count, cv::Mat& carried) {
    if (keep) image.rowRange(from, from + count).copyTo(carried);
    image.create(rows, cols, CV_8UC1);
    if (keep) carried.copyTo(image.rowRange(0, count));
}

// The channels of `photo`'s rows [top - kMargin, bottom + kMargin), mirrored
// beyond the frame, into the planes: the photo's rows are read once, by the
// image library's vectorised split. A stripe that `follows` the last one
// takes its first 2 kMargin rows, which that stripe's planes end with, from
// them.
void extractPlanes(const cv::Mat& photo, int top, int bottom, bool follows, Workspace& work) {
    const int channels = photo.channels(), cols = photo.cols;
    const int rows = bottom - top + 2 * kMargin, width = cols + 2 * kSide;
    const int shared = follows ? 2 * kMargin : 0;
    const int first = std::max(0, top - kMargin + shared), last = std::min(photo.rows, bottom + kMargin);
    work.spacing = width | 1;
    resizeKeeping(work.sideBySide, rows, work.spacing * (channels - 1) + width, follows, kStripe, shared, work.carried);
    std::vector<cv::Mat>& planes = work.planes;
    planes.resize(static_cast<std::size_t>(channels));
    std::vector<cv::Mat> inside(planes.size());
    for (std::size_t c = 0; c < planes.size(); ++c) {
        const int left = static_cast<int>(c) * work.spacing;
        planes[c] = work.sideBySide.colRange(left, left + width);
        if (last > first) inside[c] = planes[c](cv::Rect(kSide, first - (top - kMargin), cols, last - first));
    }
    if (last > first) {
        const uchar* const before = inside[0].data;
        cv::split(photo.rowRange(first, last), inside);
        // The split writes into the planes' inside (its outputs have their
        // size and type already).
        if (inside[0].data != before) throw std::logic_error("judgePhoto: the split moved its output");
    }
    for (cv::Mat& plane : planes) {
        for (int i = shared; i < rows; ++i) {
            const int y = top - kMargin + i;
            if (y < 0 || y >= photo.rows) {
                const int from = mirrored(y, photo.rows) - (top - kMargin);
                std::copy_n(plane.ptr<uchar>(from) + kSide, cols, plane.ptr<uchar>(i) + kSide);
            }
            uchar* row = plane.ptr<uchar>(i);
            for (int e = 0; e < kSide; ++e) {
                row[e] = row[kSide + mirrored(e - kSide, cols)];
                row[kSide + cols + e] = row[kSide + mirrored(cols + e, cols)];
            }
        }
    }
}

// The median of the planes for the stripe, rows [2, rows - 2), into
// work.medians. The image library's median is vectorised; the rows and
// columns its border reaches are never read. A stripe that `follows` the
// last one takes the rows both need from it and has the median worked out
// for the others only: of the 78 rows of a stripe, 10 fewer.
void medianOfPlanes(bool follows, Workspace& work) {
    const cv::Mat& planes = work.sideBySide;
    const int rows = planes.rows;
    cv::Mat& medians = work.medians;
    if (follows) medians.rowRange(kStripe + 2, kStripe + 2 + kCarried).copyTo(work.carried);
    medians.create(planes.size(), CV_8UC1);
    if (!follows) {
        cv::medianBlur(planes, medians, 5);
        return;
    }
    // Rows [kCarried, rows) give the rows from kCarried + 2 on; the two
    // before them, which the border reaches, are carried.
    cv::Mat below = medians.rowRange(kCarried, rows);
    const uchar* const before = below.data;
    cv::medianBlur(planes.rowRange(kCarried, rows), below, 5);
    if (below.data != before) throw std::logic_error("judgePhoto: the median moved its output");
    work.carried.copyTo(medians.rowRange(2, 2 + kCarried));
}

// The median of every pixel's 5 by 5 square (a hot site's footprint covers
// 9 of its pixels; scene detail larger than the footprint lifts it) and the
// magnitude of the pixel's residual against it, rows [2, rows - 2), columns
// [2, width - 2) of the stripe.
void residualPass(int channel, Workspace& work) {
    const cv::Mat& plane = work.plane;
    const int rows = plane.rows, width = plane.cols;
    work.magnitude.create(plane.size(), CV_8UC1);
    const int left = channel * work.spacing;
    work.median = work.medians.colRange(left, left + width);
    for (int i = 2; i < rows - 2; ++i) {
        magnitudeRow(plane.ptr<uchar>(i), work.median.ptr<uchar>(i), width, work.magnitude.ptr<uchar>(i));
    }
}

// The ring's sum of magnitudes around row i of the stripe, frame column x,
// as ringRow has it. Worked out again for the few pixels scored past their
// tile's bars (some ten thousand of a photo's thirty million pixels and
// channels): a plane of the sums, two bytes a pixel, would be written for
// them alone.
int ringSum(const cv::Mat& magnitude, int i, int x) {
    int sum = 0;
    for (int dy = -4; dy <= 4; ++dy) {
        const uchar* row = magnitude.ptr<uchar>(i + dy) + kSide + x;
        const bool whole = dy < -2 || dy > 2;
        for (int dx = -4; dx <= 4; ++dx) {
            if (whole || dx < -2 || dx > 2) sum += row[dx];
        }
    }
    return sum;
}

// Which pixels of the score rows (the stripe's and one beyond each end) can
// judge: a smooth ring between the 5 by 5 and the 9 by 9 square, a dark
// background.
void judgeablePass(int smoothestSum, ByteLimits limits, int cols, Workspace& work) {
    const int rows = work.plane.rows - 2 * (kMargin - 1);
    work.judgeable.create(rows, cols, CV_8UC1);
    const int width = work.plane.cols;
    work.ring9.assign(static_cast<std::size_t>(width), 0);
    work.ringOuter.assign(static_cast<std::size_t>(width), 0);
    std::uint16_t* v9 = work.ring9.data();
    std::uint16_t* outer = work.ringOuter.data();
    const cv::Mat& magnitude = work.magnitude;
    for (int s = 0; s < rows; ++s) {
        const int i = s + kMargin - 1;
        if (s == 0) {
            for (int k = -4; k <= 4; ++k) addRow(magnitude.ptr<uchar>(i + k), width, v9);
            for (const int k : {-4, -3, 3, 4}) addRow(magnitude.ptr<uchar>(i + k), width, outer);
        } else {
            slideSums(magnitude.ptr<uchar>(i + 4), magnitude.ptr<uchar>(i - 5), magnitude.ptr<uchar>(i - 3),
                      magnitude.ptr<uchar>(i + 2), width, v9, outer);
        }
        ringRow(v9 + kSide, outer + kSide, work.plane.ptr<uchar>(i) + kSide, work.median.ptr<uchar>(i) + kSide, cols,
                smoothestSum, limits, work.judgeable.ptr<uchar>(s));
    }
}

// The noise of each tile of `tileWidth` columns, measured on the judgeable
// pixels of the stripe's score rows, in histograms of sixteenths of a DN
// (the footprint's residual rounded down to them): a residual beyond
// kNoiseReach DN, which is past the percentiles read in any tile that can
// judge, is counted at the end of the range.
void measureTiles(bool footprint, Workspace& work, std::vector<float>& tileSigma,
                  std::vector<float>& tileSigmaFiltered) {
    constexpr int kReach = kNoiseReach * kResidualScale;
    constexpr auto bins = 2 * static_cast<std::size_t>(kReach);
    const auto binOf = [](int sixteenths) {
        return static_cast<std::size_t>(std::clamp(sixteenths, -kReach, kReach - 1) + kReach);
    };
    work.samples.resize(tileSigma.size());
    work.filteredSamples.resize(tileSigma.size());
    for (std::size_t t = 0; t < tileSigma.size(); ++t) {
        work.samples[t].assign(bins, 0);
        work.filteredSamples[t].assign(footprint ? bins : 0, 0);
    }
    // The tiles' histograms by their storage, found once rather than per sample.
    std::vector<std::uint32_t*>& plainOf = work.plainOf;
    std::vector<std::uint32_t*>& filteredOf = work.filteredOf;
    plainOf.resize(tileSigma.size());
    filteredOf.resize(tileSigma.size());
    for (std::size_t t = 0; t < tileSigma.size(); ++t) {
        plainOf[t] = work.samples[t].data();
        filteredOf[t] = work.filteredSamples[t].data();
    }
    const cv::Mat& judgeable = work.judgeable;
    for (int s = 0; s < judgeable.rows; ++s) {
        const int i = s + kMargin - 1;
        const uchar* j = judgeable.ptr<uchar>(s);
        const Residuals residuals(work.plane, work.median, i);
        for (int x = (kSampleSpacing - (kSampleSlant * s) % kSampleSpacing) % kSampleSpacing; x < judgeable.cols;
             x += kSampleSpacing) {
            if (!j[x]) continue;
            const std::size_t tile = work.tileOf[static_cast<std::size_t>(x)];
            ++plainOf[tile][binOf(residuals.at(x))];
            if (footprint) ++filteredOf[tile][binOf(residuals.footprintSum(x) >> 4)];
        }
    }
    constexpr float kUnit = 1.0f / kResidualScale;
    for (std::size_t t = 0; t < tileSigma.size(); ++t) {
        tileSigma[t] = upperSigma(work.samples[t], kUnit);
        tileSigmaFiltered[t] = footprint ? upperSigma(work.filteredSamples[t], kUnit) : 0.0f;
    }
}

void fillTileOf(int cols, int tileWidth, std::vector<std::uint16_t>& tileOf) {
    tileOf.resize(static_cast<std::size_t>(cols));
    for (int x = 0; x < cols; ++x) tileOf[static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(x / tileWidth);
}

// One channel into the stripe's running judgement; `footprint` for the
// channels of a demosaiced photo.
void judgeChannel(const cv::Mat& photo, int channel, int top, const PhotoJudgementSettings& settings, Workspace& work,
                  cv::Mat& judged) {
    work.plane = work.planes[static_cast<std::size_t>(channel)];
    const float multiple = static_cast<float>(settings.noise);
    const float floor = static_cast<float>(settings.floor);
    // Neither score can pass 1 below the lower floor where the pixel is the
    // peak of its footprint (the weighted mean is below its largest term),
    // and only peaks count: the many pixels of smaller residual are skipped,
    // and a score that does not pass 1 is never kept (it could not keep a
    // neighbour that passes from being a peak).
    const int least = std::max(1, static_cast<int>(std::ceil(kFootprintFloor * floor)));
    const int smoothestSum = static_cast<int>(settings.smoothest * kRingPixels);
    residualPass(channel, work);
    judgeablePass(smoothestSum, byteLimits(static_cast<int>(settings.darkest), least), photo.cols, work);
    const bool footprint = photo.channels() == 3;

    const int cols = photo.cols;
    const int tiles = std::max(1, (cols + kTileWidth / 2) / kTileWidth);
    const int tileWidth = (cols + tiles - 1) / tiles;
    std::vector<float>& tileSigma = work.tileSigma;
    std::vector<float>& tileSigmaFiltered = work.tileSigmaFiltered;
    tileSigma.resize(static_cast<std::size_t>(tiles));
    tileSigmaFiltered.resize(tileSigma.size());
    if (work.tileOf.size() != static_cast<std::size_t>(cols)) fillTileOf(cols, tileWidth, work.tileOf);
    measureTiles(footprint, work, tileSigma, tileSigmaFiltered);

    // The tiles' bars in the residual's units: a score passes 1 only above them.
    std::vector<int>& plainBar = work.plainBar;
    std::vector<int>& filteredBar = work.filteredBar;
    plainBar.resize(tileSigma.size());
    filteredBar.assign(tileSigma.size(), INT_MAX);
    for (std::size_t t = 0; t < tileSigma.size(); ++t) {
        plainBar[t] = static_cast<int>(std::floor(std::max(floor, multiple * tileSigma[t]) * kResidualScale));
        if (footprint) {
            filteredBar[t] = static_cast<int>(std::floor(
                std::max(kFootprintFloor * floor, multiple * tileSigmaFiltered[t]) * (16.0f * kResidualScale)));
        }
    }
    const cv::Mat& judgeable = work.judgeable;
    for (int s = 0; s < judgeable.rows; ++s) {
        const int i = s + kMargin - 1;
        const uchar* j = judgeable.ptr<uchar>(s);
        const Residuals residuals(work.plane, work.median, i);
        const int y = top - 1 + s;
        if (s > 0 && s + 1 < judgeable.rows) {
            if (channel == 0) {
                firstRow(j, cols, judged.ptr<uchar>(y));
            } else {
                orRow(j, cols, judged.ptr<uchar>(y));
            }
        }
        float* score = work.score.ptr<float>(s);
        uchar* strongest = work.strongest.ptr<uchar>(s);
        for (int x = nextScored(j, 0, cols); x < cols; x = nextScored(j, x + 1, cols)) {
            const int above = residuals.at(x);
            const std::size_t tile = work.tileOf[static_cast<std::size_t>(x)];
            // The ring can only raise the bars above the tile's: most pixels
            // scored fall short of the tile's already.
            const int filteredSum = footprint ? residuals.footprintSum(x) : 0;
            if (above <= plainBar[tile] && filteredSum <= filteredBar[tile]) continue;
            const float ring = kMeanAbsoluteToSigma * static_cast<float>(ringSum(work.magnitude, i, x)) / (kRingPixels);
            const float sigma = std::max(tileSigma[tile], ring);
            const float dn = static_cast<float>(above) * (1.0f / kResidualScale);
            float value = dn / std::max(floor, multiple * sigma);
            if (footprint) {
                const float f = static_cast<float>(filteredSum) * (1.0f / (16.0f * kResidualScale));
                const float sigmaFiltered = std::max(tileSigmaFiltered[tile], kFootprintNoise * ring);
                value = std::max(value, f / std::max(kFootprintFloor * floor, multiple * sigmaFiltered));
            }
            if (value > 1.0f && value > score[x]) {
                if (score[x] == 0.0f) work.passed.emplace_back(s, x);
                score[x] = value;
                strongest[x] = static_cast<uchar>(std::min(std::lround(dn), 255L));
            }
        }
    }
}

void judgeStripe(const cv::Mat& photo, int top, int bottom, const PhotoJudgementSettings& settings, Workspace& work,
                 PhotoJudgement& out) {
    const bool follows = work.lastTop >= 0 && top == work.lastTop + kStripe;
    extractPlanes(photo, top, bottom, follows, work);
    medianOfPlanes(follows, work);
    for (int c = 0; c < photo.channels(); ++c) judgeChannel(photo, c, top, settings, work, out.judged);
    work.lastTop = top;
    // Only a score above 1 can be a peak; in scan order, for the ties.
    std::sort(work.passed.begin(), work.passed.end());
    for (const auto& [s, x] : work.passed) {
        const int y = top - 1 + s;
        if (y < top || y >= bottom) continue;
        const float* score = work.score.ptr<float>(s);
        // Rows beyond the frame are mirrored images, not neighbours.
        const float* above = y > 0 ? work.score.ptr<float>(s - 1) : nullptr;
        const float* below = y + 1 < photo.rows ? work.score.ptr<float>(s + 1) : nullptr;
        const float v = score[x];
        bool peak = true;
        for (int dx = -1; dx <= 1 && peak; ++dx) {
            const int nx = x + dx;
            if (nx < 0 || nx >= photo.cols) continue;
            // Ties go to the first in scan order, so a flat top gives one event.
            if (above && above[nx] >= v) peak = false;
            if (below && below[nx] > v) peak = false;
            if (dx != 0 && (dx < 0 ? score[nx] >= v : score[nx] > v)) peak = false;
        }
        if (!peak) continue;
        out.events.push_back({{x, y}, work.strongest.at<uchar>(s, x)});
    }
    // The score planes are zero again but where a score passed.
    for (const auto& [s, x] : work.passed) {
        work.score.at<float>(s, x) = 0.0f;
        work.strongest.at<uchar>(s, x) = 0;
    }
    work.passed.clear();
}

}  // namespace

void judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings, PhotoJudgement& out) {
    if (photo.empty() || photo.depth() != CV_8U || (photo.channels() != 1 && photo.channels() != 3)) {
        throw std::invalid_argument("judgePhoto needs an 8-bit photo of one or three channels");
    }
    out.judged.create(photo.size(), CV_8UC1);
    out.events.clear();
    Workspace work;
    work.score = cv::Mat::zeros(kStripe + 2, photo.cols, CV_32FC1);
    work.strongest = cv::Mat::zeros(kStripe + 2, photo.cols, CV_8UC1);
    for (int top = 0; top < photo.rows; top += kStripe) {
        judgeStripe(photo, top, std::min(top + kStripe, photo.rows), settings, work, out);
    }
}

PhotoJudgement judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings) {
    PhotoJudgement out;
    judgePhoto(photo, settings, out);
    return out;
}

}  // namespace speckmend

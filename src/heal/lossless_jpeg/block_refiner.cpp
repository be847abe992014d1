// Refining a repaired block's quantized coefficients; the reasoning is in
// the header.
#include "heal/lossless_jpeg/block_refiner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace speckmend {

namespace {

// Coordinate descent seldom needs more than two or three rounds; the bound
// only caps the work of a pathological block.
constexpr int kMostRounds = 8;

// Baseline Huffman coding holds AC magnitudes of up to 10 bits; DC values
// of an 8-bit image stay within 11.
constexpr int kLargestAc = 1023;
constexpr int kLargestDc = 2047;

// basis[k][i]: sample i (row-major) of the orthonormal DCT basis function of
// coefficient k (natural order), as the decoder's inverse transform weighs a
// dequantized coefficient.
using Basis = std::array<std::array<float, DCTSIZE2>, DCTSIZE2>;

const Basis& basis() {
    static const Basis table = [] {
        Basis b{};
        const double pi = std::acos(-1.0);
        for (int v = 0; v < DCTSIZE; ++v)
            for (int u = 0; u < DCTSIZE; ++u)
                for (int y = 0; y < DCTSIZE; ++y)
                    for (int x = 0; x < DCTSIZE; ++x) {
                        const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
                        b[v * DCTSIZE + u][y * DCTSIZE + x] = static_cast<float>(
                            cu * cv / 4.0 * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16));
                    }
        return b;
    }();
    return table;
}

// A table made from the basis entry by entry: made[k][i] = entry(k, i).
template <typename Entry>
Basis basisTable(Entry entry) {
    Basis made{};
    for (int k = 0; k < DCTSIZE2; ++k)
        for (int i = 0; i < DCTSIZE2; ++i) made[k][i] = entry(k, i);
    return made;
}

// squaredBasis()[k][i] = basis()[k][i] squared: a coefficient's curvature
// is their sum weighted by the samples' weights.
const Basis& squaredBasis() {
    static const Basis table = basisTable([](int k, int i) { return basis()[k][i] * basis()[k][i]; });
    return table;
}

// The same table transposed, transposedBasis()[i][k] = basis()[k][i]: the
// products with all 64 basis functions at once then run along contiguous
// rows, one independent sum per coefficient, each still added up in the
// order of the samples.
const Basis& transposedBasis() {
    static const Basis table = basisTable([](int i, int k) { return basis()[k][i]; });
    return table;
}

// out[k] = sum over i of in[i] * basis()[k][i], for every k. out shares no
// memory with the table or in: told so, the compiler runs the 64 sums side
// by side in vector registers, each still added up in the order of i.
void projectOnBasis(const float* __restrict in, float* __restrict out) {
    const Basis& t = transposedBasis();
    for (int k = 0; k < DCTSIZE2; ++k) out[k] = 0.0f;
    for (int i = 0; i < DCTSIZE2; ++i) {
        const float value = in[i];
        for (int k = 0; k < DCTSIZE2; ++k) out[k] += value * t[i][k];
    }
}

// The value of component `component` of one pixel, as the encoder's colour
// conversion computes it (before rounding).
float componentOf(const cv::Mat& pixels, int x, int y, int component, J_COLOR_SPACE space) {
    if (pixels.channels() == 1) return pixels.at<unsigned char>(y, x);
    float b, g, r;
    if (pixels.channels() == 4) {
        const cv::Vec4b& p = pixels.at<cv::Vec4b>(y, x);
        if (space == JCS_CMYK || component == 3) return p[component];
        // YCCK: the encoder codes the inverted C, M and Y as red, green and
        // blue in YCbCr; K passes as it is.
        r = 255.0f - p[0], g = 255.0f - p[1], b = 255.0f - p[2];
    } else {
        const cv::Vec3b& p = pixels.at<cv::Vec3b>(y, x);
        b = p[0], g = p[1], r = p[2];
        if (space == JCS_RGB) return component == 0 ? r : component == 1 ? g : b;
    }
    switch (component) {
    case 0: return 0.299f * r + 0.587f * g + 0.114f * b;
    case 1: return -0.168736f * r - 0.331264f * g + 0.5f * b + 128.0f;
    default: return 0.5f * r - 0.418688f * g - 0.081312f * b + 128.0f;
    }
}

float clampSample(float s) { return std::min(255.0f, std::max(0.0f, s)); }

// Sums of 64 products are split over kLanes running sums, added up at the
// end: the compiler may not reorder a single float sum, and eight
// independent ones let it use vector registers. The order is fixed by this
// code, so every build gives the same blocks.
constexpr int kLanes = 8;

float laneTotal(const float* lanes) {
    return ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
}

[[gnu::always_inline]] inline float dot64(const float* a, const float* b) {
    float lanes[kLanes] = {};
    for (int i = 0; i < DCTSIZE2; i += kLanes)
        for (int j = 0; j < kLanes; ++j) lanes[j] += a[i + j] * b[i + j];
    return laneTotal(lanes);
}

[[gnu::always_inline]] inline float weightedError(const float* samples, const float* target, const float* weight) {
    float lanes[kLanes] = {};
    for (int i = 0; i < DCTSIZE2; i += kLanes)
        for (int j = 0; j < kLanes; ++j) {
            const float d = clampSample(samples[i + j]) - target[i + j];
            lanes[j] += weight[i + j] * d * d;
        }
    return laneTotal(lanes);
}

}  // namespace

// samples shares no memory with the basis (see projectOnBasis).
void decodeBlockSamples(const JCOEF* coefficients, const JQUANT_TBL& table, float* __restrict samples) {
    const Basis& b = basis();
    for (int i = 0; i < DCTSIZE2; ++i) samples[i] = 128.0f;
    for (int k = 0; k < DCTSIZE2; ++k) {
        if (coefficients[k] == 0) continue;
        const float value = static_cast<float>(coefficients[k]) * static_cast<float>(table.quantval[k]);
        for (int i = 0; i < DCTSIZE2; ++i) samples[i] += value * b[k][i];
    }
}

namespace {

void checkRefineArguments(const JQUANT_TBL& table, J_COLOR_SPACE space, const cv::Mat& repaired, const cv::Mat& mask,
                          const BlockPlace& place) {
    const int channels = repaired.channels();
    if (repaired.depth() != CV_8U || (channels != 1 && channels != 3 && channels != 4) || mask.type() != CV_8UC1 ||
        mask.size() != repaired.size())
        throw std::invalid_argument("refineDonorBlock: 8-bit pixels and a one-channel mask of their size needed");
    if (place.h < 1 || place.v < 1 || place.maxH % place.h != 0 || place.maxV % place.v != 0 || place.component < 0 ||
        place.component >= channels)
        throw std::invalid_argument("refineDonorBlock: the block's sampling does not fit the pixels");
    const bool knownLayout = channels == 1   ? space == JCS_GRAYSCALE
                             : channels == 3 ? space == JCS_YCbCr || space == JCS_RGB
                                             : space == JCS_CMYK || space == JCS_YCCK;
    if (!knownLayout) throw std::invalid_argument("refineDonorBlock: the colour space does not fit the pixels");
    for (int k = 0; k < DCTSIZE2; ++k)
        if (table.quantval[k] == 0) throw std::invalid_argument("refineDonorBlock: zero quantization step");
    if ((place.samples == nullptr) != (place.repairedSamples == nullptr))
        throw std::invalid_argument("refineDonorBlock: samples without the samples repaired, or these alone");
    if (place.samples != nullptr) {
        const int stepX = place.maxH / place.h, stepY = place.maxV / place.v;
        if (place.samples->type() != CV_8UC1 || place.repairedSamples->type() != CV_8UC1 ||
            place.repairedSamples->size() != place.samples->size() || place.samples->cols * stepX < repaired.cols ||
            place.samples->rows * stepY < repaired.rows || place.origin.x % stepX != 0 || place.origin.y % stepY != 0)
            throw std::invalid_argument("refineDonorBlock: the samples do not cover the pixels");
    }
}

// The samples the refined block should decode to and the weight of each:
// the source's own samples, with the repaired pixels of each footprint
// averaged in. False when no pixel of the block was repaired.
bool findTarget(const JCOEF* source, const JQUANT_TBL& table, J_COLOR_SPACE space, const cv::Mat& repaired,
                const cv::Mat& mask, const BlockPlace& place, float* target, float* weight) {
    const int stepX = place.maxH / place.h, stepY = place.maxV / place.v;
    decodeBlockSamples(source, table, target);
    const float heavy = kRepairedSampleWeight;
    bool anyRepaired = false;
    for (int j = 0; j < DCTSIZE; ++j) {
        for (int i = 0; i < DCTSIZE; ++i) {
            const int left = place.origin.x + i * stepX, top = place.origin.y + j * stepY;
            const int right = std::min(repaired.cols, left + stepX), bottom = std::min(repaired.rows, top + stepY);
            float sum = 0.0f;
            int count = 0, touched = 0;
            for (int y = std::max(0, top); y < bottom; ++y)
                for (int x = std::max(0, left); x < right; ++x) {
                    ++count;
                    if (mask.at<unsigned char>(y, x) == 0) continue;
                    ++touched;
                    sum += componentOf(repaired, x, y, place.component, space);
                }
            const int at = j * DCTSIZE + i;
            // Samples beyond the photo's edge are padding nobody sees.
            weight[at] = count == 0 ? 0.0f : touched ? heavy : 1.0f;
            // A subsampled sample with any repaired pixel in its footprint
            // is the mean of those alone: the source's sample there holds
            // the hot pixel's colour, spread over the whole footprint by the
            // camera's downsampling, and mixed back in it stays as a tinted
            // haze around the repair.
            if (touched) {
                const bool fromSamples =
                    place.samples != nullptr && place.repairedSamples->at<unsigned char>(top / stepY, left / stepX);
                target[at] = fromSamples ? place.samples->at<unsigned char>(top / stepY, left / stepX)
                                         : sum / static_cast<float>(touched);
            }
            anyRepaired = anyRepaired || touched > 0;
        }
    }
    return anyRepaired;
}

// Two starts: the encoder's block, and the target rounded to the grid.
// Leaves the better one in donor, its samples in samples; returns its error.
[[gnu::always_inline]] inline float startNearTarget(JCOEF* donor, const JQUANT_TBL& table, const float* target,
                                                    const float* weight, float* samples) {
    decodeBlockSamples(donor, table, samples);
    float error = weightedError(samples, target, weight);
    JCOEF rounded[DCTSIZE2];
    float centred[DCTSIZE2], projection[DCTSIZE2];
    for (int i = 0; i < DCTSIZE2; ++i) centred[i] = target[i] - 128.0f;
    projectOnBasis(centred, projection);
    for (int k = 0; k < DCTSIZE2; ++k) {
        const int largest = k == 0 ? kLargestDc : kLargestAc;
        const long step = std::lround(projection[k] / static_cast<float>(table.quantval[k]));
        rounded[k] = static_cast<JCOEF>(std::clamp<long>(step, -largest, largest));
    }
    float trial[DCTSIZE2];
    decodeBlockSamples(rounded, table, trial);
    const float roundedError = weightedError(trial, target, weight);
    if (roundedError < error) {
        error = roundedError;
        std::copy(rounded, rounded + DCTSIZE2, donor);
        std::copy(trial, trial + DCTSIZE2, samples);
    }
    return error;
}

// About the bits a Huffman coder spends on an AC coefficient of this value:
// nothing for a zero (it joins a run), else a code of about four bits and
// its magnitude's bits.
[[gnu::always_inline]] inline float coefficientBits(int value) {
    if (value == 0) return 0.0f;
    int bits = 0;
    for (unsigned magnitude = static_cast<unsigned>(std::abs(value)); magnitude != 0; magnitude >>= 1) ++bits;
    return 4.0f + static_cast<float>(bits);
}

// What moving AC coefficient k from `value` by `towards` costs in rate,
// priced in squared sample error (a step of the table moves the error by
// about step squared): kRateWeight for every bit, and kGrowthWeight more for
// every bit beyond what the source's coefficient there spent. The DC is
// coded as a difference whatever its value and costs nothing here.
[[gnu::always_inline]] inline float rateChange(int k, int value, int towards, int sourceValue, float step) {
    if (k == 0) return 0.0f;
    const float before = coefficientBits(value), after = coefficientBits(value + towards);
    const float own = coefficientBits(sourceValue);
    const float growth = std::max(0.0f, after - own) - std::max(0.0f, before - own);
    return step * step * (kRateWeight * (after - before) + kGrowthWeight * growth);
}

// Coordinate descent on the error plus the rate, one step of the table at a
// time. The change of the error is screened without the decoder's clamping
// (a dot product with the weighted residual) and then confirmed with it.
// The weights stay fixed, so each coefficient's curvature is found once.
[[gnu::always_inline]] inline void descend(JCOEF* donor, const JCOEF* source, const JQUANT_TBL& table,
                                           const float* target, const float* weight, float* samples, float error) {
    const Basis& b = basis();
    const Basis& squares = squaredBasis();
    float curvature[DCTSIZE2], residual[DCTSIZE2], trial[DCTSIZE2];
    for (int k = 0; k < DCTSIZE2; ++k) curvature[k] = dot64(weight, squares[k].data());
    for (int i = 0; i < DCTSIZE2; ++i) residual[i] = weight[i] * (samples[i] - target[i]);
    for (int round = 0; round < kMostRounds; ++round) {
        bool moved = false;
        for (int k = 0; k < DCTSIZE2; ++k) {
            const float slope = dot64(residual, b[k].data());
            const float step = static_cast<float>(table.quantval[k]);
            const int largest = k == 0 ? kLargestDc : kLargestAc;
            // Against the slope the error falls; towards zero the rate may
            // fall by more than the error grows.
            int direction = 0;
            float best = 0.0f, bestRate = 0.0f;
            for (const int towards : {-1, 1}) {
                if (std::abs(donor[k] + towards) > largest) continue;
                const float rate = rateChange(k, donor[k], towards, source[k], step);
                const float screened =
                    2.0f * static_cast<float>(towards) * step * slope + step * step * curvature[k] + rate;
                if (screened < best) best = screened, bestRate = rate, direction = towards;
            }
            if (direction == 0) continue;
            const float change = static_cast<float>(direction) * step;
            for (int i = 0; i < DCTSIZE2; ++i) trial[i] = samples[i] + change * b[k][i];
            const float changed = weightedError(trial, target, weight);
            // A margin keeps rounding noise from trading equal costs back and forth.
            if (changed + bestRate < error - 1e-6f * error) {
                error = changed;
                donor[k] = static_cast<JCOEF>(donor[k] + direction);
                std::copy(trial, trial + DCTSIZE2, samples);
                for (int i = 0; i < DCTSIZE2; ++i) residual[i] = weight[i] * (samples[i] - target[i]);
                moved = true;
            }
        }
        if (!moved) break;
    }
}

}  // namespace

// Most of a heal's arithmetic is here: where the processor has them, the
// 64-term sums run in eight-wide registers. Both versions add the same
// terms in the same order (no fused multiply-add), so they give the same
// blocks. The two phases made of such sums (the starts and the descent) are
// inlined into each version; finding the target walks pixels and stays a
// call of its own, which costs fewer instructions than inlining it. What the
// descent calls once per coefficient (the rate, the error of a trial) is
// inlined too: the compiler does not always clear the wide registers' upper
// halves before calling code built for the default target, and every such
// call then stalls the processor. Those stalls took six sevenths of the
// refinement's time, about 35 ms of CPU in a 24-megapixel heal of 100 hot
// pixels.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target_clones("avx2", "default")]]
#endif
void refineDonorBlock(JCOEF* donor, const JCOEF* source, const JQUANT_TBL& table, J_COLOR_SPACE space,
                      const cv::Mat& repaired, const cv::Mat& mask, const BlockPlace& place) {
    checkRefineArguments(table, space, repaired, mask, place);
    float target[DCTSIZE2], weight[DCTSIZE2], samples[DCTSIZE2];
    if (!findTarget(source, table, space, repaired, mask, place, target, weight)) return;
    const float error = startNearTarget(donor, table, target, weight, samples);
    descend(donor, source, table, target, weight, samples, error);
}

}  // namespace speckmend

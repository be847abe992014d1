// The footprint one hot site of a colour sensor leaves in the frames, and the
// amplitude of a site estimated from it.
//
// A colour camera's sensor sees one colour per site, in a mosaic that repeats
// every two columns and rows. A hot site is spread by demosaicing over its
// neighbours, by the colour conversion into luma (at full resolution) and
// chroma, by halved chroma (4:2:0, 4:2:2) over two or four pixels and by the
// decoder's upsampling over more, then dimmed by the JPEG's quantization.
// Every step is the same for every site of one place in the mosaic, and the
// steps are close to linear, so all hot sites at one phase of the mosaic
// leave one shape, scaled by their amplitude. That shape is not assumed here
// (demosaicing methods, white balance, encoders and decoders all differ): it
// is the median of the frame's own strong, lone, unsaturated hot sites, per
// phase. The test then weighs every channel of a site's neighbourhood by how
// much of the site it carries (a matched filter over the channels together),
// one hypothesis per phase, so a blue site that keeps a quarter of its height
// in the blue channel is judged by everything it left.
//
// Amplitudes are in DN at the sensor, in the frame's units. Two properties
// of the steps above give a site's amplitude, and the larger estimate is
// taken: demosaicing reproduces flat areas, so a site spreads into the
// pixels nearer to it than to the next site of its colour and its channel
// totals the amplitude times the number of sites per site of that colour
// (four for red and blue, two for green); and the colour conversion keeps
// luma at full resolution, where a site carries the luma weight of its
// colour. Methods that keep a site from spreading (gradient-driven
// demosaicing) fall short on the first, quantized luma on the second; neither
// overestimates much.
#pragma once

#include <array>
#include <optional>
#include <vector>

namespace speckmend {

class SiteFootprint {
public:
    // The shape is learnt over kSpread pixels around a site and tested over
    // kCore: the core holds most of what a site leaves, and further out the
    // halved chroma's coarse, blocky noise outweighs the little it adds.
    static constexpr int kSpread = 4;
    static constexpr int kCore = 1;
    static constexpr int kSide = 2 * kSpread + 1;
    static constexpr int kCoreSide = 2 * kCore + 1;
    static constexpr int kPhases = 4;  // (x & 1) + 2 (y & 1)
    // Fewer lone sites than this at a phase say too little about its shape.
    static constexpr std::size_t kFewestSites = 8;

    // A strong, lone hot site: its phase and the residual (frame minus
    // background) around it, channel by channel, each kSide rows of kSide.
    struct Site {
        int phase = 0;
        std::vector<float> residual;
    };

    static int phaseOf(int x, int y) { return (x & 1) + 2 * (y & 1); }

    // `channels`: 3 (blue, green, red); `channelNoise`: each channel's
    // typical noise, which weighs the channels against each other. A phase
    // with fewer than kFewestSites sites takes its partner's shape mirrored
    // (see learn); nothing when both of a pair have too few.
    static std::optional<SiteFootprint> learn(const std::vector<Site>& sites, int channels,
                                              const std::vector<float>& channelNoise);

    // The amplitude of a site at `phase` whose core residual (channel by
    // channel, kCoreSide rows of kCoreSide) is `core`.
    float amplitude(int phase, const float* core) const;

    // amplitude() of every pixel x in [from, to) of row y, into out[x]:
    // `rows` holds, channel by channel and from the row above to the row
    // below, the kCoreSide rows of residuals around row y (rows[c *
    // kCoreSide + dy + kCore], indexed by column), and columns from - 1 to
    // to are inside them. Each value is the one amplitude() gives, worked
    // out a vector of columns at a time in the same order of operations: the
    // noise of the estimate is sampled at millions of pixels a frame.
    void amplitudeRow(int y, const float* const* rows, int from, int to, float* out) const;

    // The same from the core's pixels inside the frame only (`inside`: one
    // flag per pixel of the core square, for all channels), and in
    // `noiseGain` how much noisier that estimate is than one from a whole
    // core: at the frame's edge a site is judged by what the frame holds of
    // it, against the noise of just that.
    float amplitudeInside(int phase, const float* core, const bool* inside, float& noiseGain) const;

    // How well `patch` (channel by channel, 2 reach + 1 rows of as many,
    // reach at most kSpread) has the footprint's shape at `phase`: the
    // cosine between the two, each channel weighed by its noise, 1 for a
    // perfect fit. JPEG ringing may reach a site's amplitude but seldom its
    // shape over the whole spread.
    float fit(int phase, const float* patch, int reach = kSpread) const;

    // The footprint of a site of amplitude 1 at `phase`, channel c, offset
    // (dx, dy) from the site, |dx|, |dy| <= kSpread.
    float at(int phase, int c, int dx, int dy) const {
        return shape_[static_cast<std::size_t>(phase)][index(c, dx, dy)];
    }

    // The channel a phase's site shows in most: its colour.
    int colour(int phase) const { return colour_[static_cast<std::size_t>(phase)]; }
    // 0 for a phase whose shape is its partner's, mirrored.
    std::size_t sitesLearnt(int phase) const { return learnt_[static_cast<std::size_t>(phase)]; }

private:
    static std::size_t index(int c, int dx, int dy) {
        return static_cast<std::size_t>((c * kSide + dy + kSpread) * kSide + dx + kSpread);
    }

    int channels_ = 3;
    std::array<std::vector<float>, kPhases> shape_;
    // The matched filter of the core: the shape over each channel's noise
    // squared, over the filter's response to the shape itself.
    std::array<std::vector<float>, kPhases> filter_;
    std::vector<float> weight_;  // per channel: one over its noise squared
    std::array<int, kPhases> colour_{};
    std::array<std::size_t, kPhases> learnt_{};
};

}  // namespace speckmend

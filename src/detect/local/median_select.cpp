// Radix selection over the floats' ordered bit patterns.
#include "detect/local/median_select.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace speckmend {
namespace {

// Below this many values comparisons are cheaper than three counting passes
// over 2048 bins.
constexpr std::size_t kFewValues = 256;

// The float's bits as an unsigned key in the floats' order: positive floats
// keep their order with the sign bit set, negative ones reverse theirs.
std::uint32_t keyOf(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

float valueOf(std::uint32_t key) {
    const std::uint32_t bits = (key & 0x80000000u) != 0 ? key & 0x7fffffffu : ~key;
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

float selectKth(std::vector<float>& values, std::size_t k) {
    if (k >= values.size()) throw std::invalid_argument("selectKth: k beyond the values");
    if (values.size() < kFewValues) {
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
        return values[k];
    }
    // Three passes of 11, 11 and 10 bits; each keeps the keys whose part so
    // far matches the bin the k-th one falls into.
    constexpr int kShifts[] = {21, 10, 0};
    constexpr std::uint32_t kMasks[] = {0x7ff, 0x7ff, 0x3ff};
    thread_local std::vector<std::uint32_t> keys;
    keys.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) keys[i] = keyOf(values[i]);
    std::size_t count = keys.size();
    std::array<std::uint32_t, 2048> bins{};
    for (int pass = 0; pass < 3; ++pass) {
        const int shift = kShifts[pass];
        const std::uint32_t mask = kMasks[pass];
        bins.fill(0);
        for (std::size_t i = 0; i < count; ++i) ++bins[(keys[i] >> shift) & mask];
        std::uint32_t bin = 0;
        std::size_t below = 0;
        while (below + bins[bin] <= k) below += bins[bin++];
        k -= below;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            keys[kept] = keys[i];
            kept += ((keys[i] >> shift) & mask) == bin ? 1 : 0;
        }
        count = kept;
    }
    // All keys left are one: every bit has been matched.
    return valueOf(keys[0]);
}

float upperMedian(std::vector<float>& values) {
    if (values.empty()) return 0.0f;
    return selectKth(values, values.size() / 2);
}

}  // namespace speckmend

// The sample tools' random numbers: a generator of our own rather than
// <random>'s distributions, whose output differs between libraries, so a
// seed gives the same bytes everywhere.
#pragma once

#include <cstdint>

namespace shoot {

// splitmix64: small, fast and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [low, high].
    int between(int low, int high) {
        return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
    }

    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

    // Close to a standard normal: the sum of four uniforms, scaled. Cheap
    // enough for frames of tens of megapixels.
    float normal() {
        const std::uint64_t r = next();
        const int sum = static_cast<int>(r & 0xFFFF) + static_cast<int>((r >> 16) & 0xFFFF) +
                        static_cast<int>((r >> 32) & 0xFFFF) + static_cast<int>(r >> 48);
        return static_cast<float>((sum - 2 * 65535.5) * (1.7320508 / 65536.0));
    }

private:
    std::uint64_t state_;
};

inline std::uint64_t mix(std::uint64_t seed, std::uint64_t stream) {
    return Random(seed ^ (stream * 0xD1B54A32D192ED03ull)).next();
}

}  // namespace shoot

// The test that turns a pixel's counts into a verdict: a pixel is hot when
// it stood out in so many of the photos that judged it that chance cannot
// explain it.
//
// Under chance, each judging photo makes the pixel stand out with the
// folder's chance rate p, independently; the pixel is hot when the
// probability of standing out at least k times in n is below `alpha` (set
// so that over the whole frame chance gives far less than one false hot
// pixel), when k is at least 2 (one photo proves nothing), and when k is at
// least `share` of n (a hot pixel stands out in most photos that can see
// it; scene detail that lands on it now and then does not). With few
// judging photos (up to `allAgree`) every one of them must agree: a photo
// that could see the pixel and did not see it stand out weighs too much
// against two or three that did. 3 of 3 passes where the chance rate is
// low, 2 of 3 never does.
#pragma once

#include <cstdint>
#include <vector>

namespace speckmend {

class BinomialTest {
public:
    // `chance`: p, clamped to [1e-6, 0.5]; `alpha` above 0; `share` in [0, 1].
    BinomialTest(double chance, double alpha, double share, int mostPhotos, int allAgree = 4);

    // The fewest bright photos out of `judged` that make a pixel hot;
    // above `judged` when none do.
    int leastBright(int judged) const;
    bool isHot(int bright, int judged) const { return judged > 0 && bright >= leastBright(judged); }

    // The probability of at least k successes in n trials of probability p.
    static double upperTail(int k, int n, double p);

private:
    std::vector<std::int32_t> least_;  // by judging photos, 0 to mostPhotos
};

}  // namespace speckmend

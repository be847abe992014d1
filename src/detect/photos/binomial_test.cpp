// Least counts of the binomial test.
#include "detect/photos/binomial_test.h"

#include <algorithm>
#include <cmath>

namespace speckmend {

double BinomialTest::upperTail(int k, int n, double p) {
    if (k <= 0) return 1.0;
    if (k > n) return 0.0;
    // Summed from k upwards in logarithms: the terms of large n underflow
    // one by one but not their logarithms.
    const double logP = std::log(p), logQ = std::log1p(-p);
    double sum = 0.0;
    for (int i = k; i <= n; ++i) {
        const double logTerm =
            std::lgamma(n + 1.0) - std::lgamma(i + 1.0) - std::lgamma(n - i + 1.0) + i * logP + (n - i) * logQ;
        sum += std::exp(logTerm);
    }
    return std::min(sum, 1.0);
}

BinomialTest::BinomialTest(double chance, double alpha, double share, int mostPhotos, int allAgree) {
    const double p = std::clamp(chance, 1e-6, 0.5);
    least_.assign(static_cast<std::size_t>(std::max(mostPhotos, 0)) + 1, 0);
    int k = 2;
    for (int n = 0; n <= mostPhotos; ++n) {
        // The least k only grows with n: start from the last one.
        k = std::max(k, static_cast<int>(std::ceil(share * n - 1e-9)));
        while (k <= n && upperTail(k, n, p) > alpha) ++k;
        least_[static_cast<std::size_t>(n)] = n <= allAgree ? std::max(k, n) : k;
        if (k > n) k = std::max(2, k - 1);
    }
}

int BinomialTest::leastBright(int judged) const {
    if (judged < 0) return 2;
    if (static_cast<std::size_t>(judged) >= least_.size()) {
        // Beyond the table: its last entry scaled, which only errs on the strict side.
        const int n = static_cast<int>(least_.size()) - 1;
        return static_cast<int>(std::ceil(static_cast<double>(least_.back()) * judged / std::max(n, 1)));
    }
    return least_[static_cast<std::size_t>(judged)];
}

}  // namespace speckmend

// The local-maximum test.
#include "detect/common/local_maximum.h"

#include <initializer_list>

namespace speckmend {

bool isStrictLocalMaximum(const float* above, const float* row, const float* below, int width, int x, EdgeRule edge) {
    const bool left = x > 0;
    const bool right = x + 1 < width;
    if (edge == EdgeRule::interiorOnly && !(left && right && above != nullptr && below != nullptr)) return false;
    const float v = row[x];
    if ((left && !(v > row[x - 1])) || (right && !(v > row[x + 1]))) return false;
    for (const float* other : {above, below}) {
        if (other == nullptr) continue;
        if (!(v > other[x]) || (left && !(v > other[x - 1])) || (right && !(v > other[x + 1]))) return false;
    }
    return true;
}

}  // namespace speckmend

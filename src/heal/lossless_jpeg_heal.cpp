// The in-memory lossless heal; the plan of one call is in the header.
#include "heal/lossless_jpeg_heal.h"

namespace speckmend {

LosslessHealResult healJpegLosslessly(std::span<const unsigned char>, const HotPixelMap&, double, int) {
    LosslessHealResult result;
    result.diagnostic = "lossless heal not available yet";
    return result;
}

}  // namespace speckmend

// Whether a JPEG's coded data is sound, for a caller that decodes its pixels
// with another reader (the image library's, which only prints libjpeg's
// warnings): the header, then every scan entropy-decoded to the end of the
// image, as a full decode reads them, with each warning judged by the error
// adapter (jpeg_error.h). The image is reconstructed at an eighth of its
// size, so the check costs neither the IDCT nor the memory of the pixels; a
// file of several scans still needs its coefficient arrays, as any decode
// of it does.
#pragma once

#include <span>
#include <string>

#include "heal/jpeg/jpeg_codec.h"

namespace speckmend {

class JpegDataCheck {
public:
    // Reads the header of bytes (which must outlive the object). False, with
    // the library's message in diagnostic, when they are not a JPEG the
    // library can read.
    bool readHeader(std::span<const unsigned char> bytes, std::string& diagnostic);
    // The image size from the frame header, after readHeader.
    int width() const { return static_cast<int>(decoder_.codec.image_width); }
    int height() const { return static_cast<int>(decoder_.codec.image_height); }

    // Decodes the rest. False, with the library's message in diagnostic,
    // when the library gives up on the data; otherwise damage is the first
    // warning that tells of damaged data (a premature end, corrupt data),
    // empty for a sound file.
    bool readData(std::string& damage, std::string& diagnostic);

private:
    JpegGuard guard_;
    JpegDecoder decoder_;
    std::span<const unsigned char> bytes_;
};

}  // namespace speckmend

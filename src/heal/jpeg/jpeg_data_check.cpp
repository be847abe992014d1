// The soundness check of a JPEG's coded data; see jpeg_data_check.h.
#include "heal/jpeg/jpeg_data_check.h"

namespace speckmend {

bool JpegDataCheck::readHeader(std::span<const unsigned char> bytes, std::string& diagnostic) {
    bytes_ = bytes;
    auto step = [this] {
        decoder_.createFromMemory(guard_, "checked", bytes_);
        jpeg_read_header(&decoder_.codec, TRUE);
    };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = decoder_.errors.error;
        return false;
    }
    return true;
}

bool JpegDataCheck::readData(std::string& damage, std::string& diagnostic) {
    j_decompress_ptr codec = &decoder_.codec;
    auto step = [codec] {
        // At 1/8 each block becomes one pixel from its DC value; the entropy
        // decoder still walks every coefficient's code, so it meets the
        // data's faults exactly where a full decode would.
        codec->scale_num = 1;
        codec->scale_denom = 8;
        codec->do_fancy_upsampling = FALSE;
        codec->dct_method = JDCT_IFAST;
        jpeg_start_decompress(codec);
        JSAMPARRAY row = (*codec->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(codec), JPOOL_IMAGE,
                                                     codec->output_width * codec->output_components, 1);
        while (codec->output_scanline < codec->output_height) jpeg_read_scanlines(codec, row, 1);
        // Reads on to the end of the image, where trailing faults show.
        jpeg_finish_decompress(codec);
    };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = decoder_.errors.error;
        return false;
    }
    damage = decoder_.errors.damage;
    return true;
}

}  // namespace speckmend

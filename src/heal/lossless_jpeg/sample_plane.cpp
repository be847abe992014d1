// A subsampled component's samples, repaired at their own resolution; the
// reasoning is in the header.
#include "heal/lossless_jpeg/sample_plane.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "heal/inpaint/region_inpainter.h"
#include "heal/lossless_jpeg/block_refiner.h"

namespace speckmend {

namespace {

// The touched samples are grown by this many samples before inpainting.
constexpr int kSkippedRing = 1;

// The inpainting range of the samples is the pixels' plus this.
constexpr double kWiderRange = 2.0;

}  // namespace

double sampleRange(double range) { return range + kWiderRange; }

int sampleMargin(double range, int step) {
    const int reach = RegionInpainter::marginFor(sampleRange(range));
    if (reach == 0) return 0;
    // A touched sample lies within one sample of its repaired pixel, the
    // grown ring one more, and the inpainting reads reach samples beyond.
    return (reach + kSkippedRing + 1) * step;
}

cv::Mat componentSamples(j_decompress_ptr source, jvirt_barray_ptr array, int c, const cv::Rect& imcus, cv::Size pixels,
                         int stepX, int stepY) {
    const jpeg_component_info& info = source->comp_info[c];
    const int h = info.h_samp_factor, v = info.v_samp_factor;
    const int width = (pixels.width + stepX - 1) / stepX, height = (pixels.height + stepY - 1) / stepY;
    cv::Mat samples(height, width, CV_8UC1);
    const JQUANT_TBL& table = *source->quant_tbl_ptrs[info.quant_tbl_no];
    float decoded[DCTSIZE2];
    for (int row = 0; row * DCTSIZE < height; ++row) {
        JBLOCKARRAY blocks = (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source), array,
                                                                static_cast<JDIMENSION>(imcus.y * v + row), 1, FALSE);
        for (int column = 0; column * DCTSIZE < width; ++column) {
            decodeBlockSamples(blocks[0][static_cast<JDIMENSION>(imcus.x * h + column)], table, decoded);
            for (int j = 0; j < DCTSIZE && row * DCTSIZE + j < height; ++j) {
                unsigned char* line = samples.ptr<unsigned char>(row * DCTSIZE + j);
                for (int i = 0; i < DCTSIZE && column * DCTSIZE + i < width; ++i)
                    line[column * DCTSIZE + i] =
                        cv::saturate_cast<unsigned char>(std::lround(decoded[j * DCTSIZE + i]));
            }
        }
    }
    return samples;
}

cv::Mat touchedSamples(const cv::Mat& mask, int stepX, int stepY) {
    if (mask.type() != CV_8UC1 || stepX < 1 || stepY < 1)
        throw std::invalid_argument("touchedSamples: an 8-bit one-channel mask and steps of at least 1 needed");
    cv::Mat touched((mask.rows + stepY - 1) / stepY, (mask.cols + stepX - 1) / stepX, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < mask.rows; ++y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        unsigned char* to = touched.ptr<unsigned char>(y / stepY);
        for (int x = 0; x < mask.cols; ++x)
            if (row[x] != 0) to[x / stepX] = 255;
    }
    return touched;
}

void repairSamples(cv::Mat& samples, const cv::Mat& touched, double range, int method) {
    if (samples.type() != CV_8UC1 || touched.type() != CV_8UC1 || samples.size() != touched.size())
        throw std::invalid_argument("repairSamples: 8-bit one-channel samples and mask of one size needed");
    cv::Mat grown;
    cv::dilate(touched, grown, cv::getStructuringElement(cv::MORPH_RECT, {2 * kSkippedRing + 1, 2 * kSkippedRing + 1}));
    RegionInpainter(grown, sampleRange(range)).inpaintInPlace(samples, method);
}

}  // namespace speckmend

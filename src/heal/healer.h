// The healing engine: repairs every hot pixel of the map in every photo of
// the input folder and writes the results, losslessly for JPEG to JPEG.
//
// Call order: construct over the heal section of the run settings, then
// run() once (or, in tests, inpaint() / healFile() directly). The mask, the
// repaired image and the difference image are cached from one photo to the
// next: the mask is drawn once per photo size, the image buffers are kept
// while size, channel count and depth stay the same.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/settings.h"
#include "heal/region_inpainter.h"

namespace speckmend {

// What became of one photo; run() prints one status line for each.
enum class FileStatus {
    cannotLoad = -1,   // not loadable, or an output could not be written: "error:I/O!"
    badDimension = 0,  // another size than the map's: "error:bad dimension!"
    processed = 1,     // every output written: "processed."
};

class Healer {
public:
    // The settings are only read, and must outlive the Healer.
    explicit Healer(const HealSettings& settings);

    // Repairs one loaded photo (8 bits, one or three channels) into healed();
    // the photo itself is left unchanged. difference() is allocated for the
    // photo's geometry when difference images are on.
    void inpaint(const cv::Mat& photo);

    // The per-file pipeline for one entry name of the input folder. May print
    // a line about a skipped difference image; the status line is run()'s.
    FileStatus healFile(const std::string& fileName);

    // The run over the input folder: one status line per matching entry, in
    // listing order. Throws FatalError when the folder cannot be entered or
    // nothing in it matches the filter. Leaves the current directory there.
    // The next photo is loaded and repaired on a second thread while one is
    // written; everything visible is as if they were taken one at a time.
    void run();

    const cv::Mat& mask() const { return mask_; }
    const cv::Mat& healed() const { return healed_; }
    const cv::Mat& difference() const { return difference_; }
    const RegionInpainter& inpainter() const { return inpainter_; }

    // Name of the temporary JPEG of the lossless path, in the output folder.
    static constexpr const char* kTemporaryName = "tmp_drop.jpg";

private:
    // One photo loaded and repaired, ready to be written.
    struct Repair {
        FileStatus status = FileStatus::processed;  // processed: repaired, not yet written
        cv::Mat photo;   // as loaded; kept only for the difference image
        cv::Mat healed;
        std::shared_ptr<const std::vector<cv::Rect>> donorAreas;
    };

    // Loading and repair: touches the mask and the repair buffers only, so
    // that it can run while the previous photo is written.
    Repair repair(const std::string& fileName);
    // Writing the outputs of one repaired photo, on the run's own thread.
    FileStatus write(const std::string& fileName, const Repair& repaired);

    // Draws the mask (and plans the regions and donor areas) when the size
    // changes, releasing the repair buffers made for the old size.
    void prepareMask(const cv::Size& size);
    // The repaired photo as the lossless path hands it to the encoder: the
    // areas the transplant can take blocks from, and flat grey elsewhere,
    // which encodes and decodes in a fraction of the time and gives the
    // same blocks where it matters.
    const cv::Mat& donorFor(const Repair& repaired);
    // Returns false when an output file could not be written.
    bool writeDifference(const std::string& fileName, const cv::Mat& photo, const std::string& outputPath);

    const HealSettings& settings_;
    // The map's hot pixels, then squares that tile the band of every hot
    // line: what the donor areas and the lossless transplant work on.
    std::vector<HotPixel> repairSquares_;
    cv::Mat mask_;
    cv::Mat healed_;
    cv::Mat spareHealed_;  // the previous photo's repair, possibly still being written
    cv::Mat difference_;
    RegionInpainter inpainter_;
    cv::Mat donor_;
    std::shared_ptr<const std::vector<cv::Rect>> donorAreas_;
    // Prefixes of input and output paths: indir and outdir as configured
    // until run() pins a relative indir to the folder the program started in.
    std::string inputFolder_;
    std::string outputFolder_;
};

}  // namespace speckmend

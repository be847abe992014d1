// The healing engine: repairs every hot pixel of the map in one photo and
// makes its output files, losslessly for a JPEG saved as JPEG.
//
// Call order: construct over the heal section of the run settings, then
// run() once (the folder walk of heal_run.h), or, in tests, inpaint(),
// heal() or healFile() directly. The mask is drawn once per photo size and
// the repair buffers are kept while size, channel count and depth stay the
// same. heal() writes nothing, so that one Healer per worker can run at once;
// healFile() is heal() followed by writing its files one after the other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/settings.h"
#include "heal/flow/heal_run.h"
#include "heal/flow/healed_photo.h"
#include "heal/inpaint/region_inpainter.h"

namespace speckmend {

class Healer : public PhotoHealer {
public:
    // The settings are only read, and must outlive the Healer. The folders
    // are the prefixes of input and output paths; by default indir and
    // outdir as configured.
    explicit Healer(const HealSettings& settings);
    Healer(const HealSettings& settings, std::string inputFolder, std::string outputFolder);

    // Repairs one loaded photo into healed(); the photo itself is left
    // unchanged. 8 or 16 bits per channel, one or three colour channels and
    // perhaps an alpha channel after them (two or four channels), which is
    // kept as it is. difference() is allocated for the photo's geometry
    // (without alpha) when difference images are on.
    void inpaint(const cv::Mat& photo);

    // The per-file pipeline for one entry name of the input folder, up to
    // the bytes of every output; nothing is written or printed.
    HealedPhoto heal(const std::string& fileName) override;

    // heal() and then the files written, each complete or not at all; the
    // notes and the lines that say why the photo failed are printed, the
    // status line is the run's. cannotWrite when an output cannot be written.
    FileStatus healFile(const std::string& fileName);

    // The run over the input folder: a HealRun with a Healer of its own for
    // each worker. Returns the number of photos that failed (HealRun::run).
    std::size_t run();

    const cv::Mat& mask() const { return mask_; }
    const cv::Mat& healed() const { return healed_; }
    const cv::Mat& difference() const { return difference_; }
    const RegionInpainter& inpainter() const { return inpainter_; }

    // Whether a save format takes the lossless path for a JPEG input: jpg or
    // jpeg in any letter case.
    static bool savesJpeg(const std::string& saveformat);
    // Whether a file's first bytes are those of a JPEG (FF D8 FF).
    static bool looksLikeJpeg(const std::vector<unsigned char>& bytes);

private:
    // Draws the mask and plans the regions when the size changes.
    void prepareMask(const cv::Size& size);
    // heal() for every photo off the lossless path: decoded in the form its
    // output holds, repaired, encoded, with the source's metadata.
    void healPlain(HealedPhoto& result, const std::string& fileName, std::vector<unsigned char> source,
                   HealedPhoto::File output);
    // Repairs the image's colour channels where it lies; after prepareMask.
    void repairInPlace(cv::Mat& image);
    void addDifference(HealedPhoto& result, const std::string& fileName, const cv::Mat& photo);

    const HealSettings& settings_;
    cv::Mat mask_;
    cv::Mat healed_;
    cv::Mat difference_;
    RegionInpainter inpainter_;
    std::string inputFolder_;
    std::string outputFolder_;
};

}  // namespace speckmend

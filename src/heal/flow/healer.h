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

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/settings.h"
#include "heal/inpaint/region_inpainter.h"

namespace speckmend {

// What became of one photo; the run prints one status line for each.
enum class FileStatus {
    cannotLoad = -1,   // not loadable, or an output could not be written: "error:I/O!"
    badDimension = 0,  // another size than the map's: "error:bad dimension!"
    processed = 1,     // every output written: "processed."
};

// One photo healed in memory: what is to be written for it and printed.
struct HealedPhoto {
    struct File {
        std::string path;  // outdir + name
        std::vector<unsigned char> bytes;
    };
    FileStatus status = FileStatus::processed;
    // In writing order: the repaired photo, then its difference image. A
    // photo whose repair could not be encoded is cannotLoad with no files.
    std::vector<File> files;
    // Lines about this photo printed before its status line, each ending in
    // a line break.
    std::vector<std::string> notes;
    // Why the JPEG library refused the file, for standard error; may be empty.
    std::string diagnostic;
};

class Healer {
public:
    // The settings are only read, and must outlive the Healer. The folders
    // are the prefixes of input and output paths; by default indir and
    // outdir as configured.
    explicit Healer(const HealSettings& settings);
    Healer(const HealSettings& settings, std::string inputFolder, std::string outputFolder);

    // Repairs one loaded photo (8 bits, one or three channels) into healed();
    // the photo itself is left unchanged. difference() is allocated for the
    // photo's geometry when difference images are on.
    void inpaint(const cv::Mat& photo);

    // The per-file pipeline for one entry name of the input folder, up to
    // the bytes of every output; nothing is written or printed.
    HealedPhoto heal(const std::string& fileName);

    // heal() and then the files written, each complete or not at all; the
    // notes are printed, the status line is the run's. cannotLoad also when
    // an output cannot be written.
    FileStatus healFile(const std::string& fileName);

    // The run over the input folder (see HealRun).
    void run();

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

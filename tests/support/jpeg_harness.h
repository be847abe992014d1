// Test harness for the JPEG paths: reading a JPEG's coefficients, tables and
// markers with libjpeg, and making synthetic test JPEGs of any sampling,
// coding and marker set.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include <jpeglib.h>

#include <opencv2/core.hpp>

namespace speckmend::testing {

// Reading a JPEG's coefficients, tables and markers.

struct Marker {
    int code = 0;
    std::string bytes;
    bool operator==(const Marker&) const = default;
};

struct Component {
    int h = 1, v = 1;
    int widthInBlocks = 0, heightInBlocks = 0;
    std::array<int, 64> table{};
    std::vector<JCOEF> blocks;  // row by row, 64 coefficients per block

    const JCOEF* block(int column, int row) const {
        return blocks.data() + (static_cast<std::size_t>(row) * widthInBlocks + column) * 64;
    }
};

struct JpegFile {
    int width = 0, height = 0;
    J_COLOR_SPACE colorSpace = JCS_UNKNOWN;
    bool progressive = false;
    bool arithmetic = false;
    int restartInterval = 0;
    std::vector<Component> components;
    std::vector<Marker> markers;
    int warnings = 0;
};

// Reads a JPEG file (or bytes) to coefficients; false when libjpeg refuses it.
bool readJpeg(const std::string& path, JpegFile& file);
bool readJpeg(std::span<const unsigned char> bytes, JpegFile& file);

// Making test JPEGs with libjpeg.

struct Sampling {
    int h, v;
};

struct SourceRecipe {
    int width = 160, height = 120;
    int components = 3;  // 1 grey, 3 colour, 4 CMYK (coded as CMYK or YCCK), others without a colour model
    std::vector<Sampling> sampling = {{2, 2}, {1, 1}, {1, 1}};
    int quality = 75;
    bool progressive = false;
    int restartInterval = 0;
    bool arithmetic = false;
    bool optimize = false;          // Huffman tables holding only the symbols used
    bool scanPerComponent = false;  // sequential, one scan for each component
    // A restart interval for each scan, taken in turn (restartInterval is
    // then unused): the scans of one encode per interval, each from the
    // encode of its own, with a DRI before each.
    std::vector<unsigned> scanIntervals;
    // Arithmetic coding's AC conditioning (the DAC's Kx), and with
    // scanIntervals one for each encode, taken in turn like the intervals.
    int acConditioning = 5;
    std::vector<int> scanAcConditioning;
    J_COLOR_SPACE colorSpace = JCS_YCbCr;  // how colour is coded in the file
    bool jfif = true;
    std::vector<Marker> markers;  // written after the library's own
    // Tables other than the quality's: slot per component, and the slots.
    std::vector<int> tableSlots;
    std::vector<std::array<unsigned, 64>> tables;
};

// The scans of a JPEG as its bytes lay them out, read by a walk of its
// segments of its own.
struct ScanLayout {
    std::string header;            // the SOS segment after its length
    unsigned restartInterval = 0;  // the last DRI before it
    int restarts = 0;              // restart markers in its data
    std::string data;              // its entropy-coded data
    bool operator==(const ScanLayout&) const = default;
};
std::vector<ScanLayout> scanLayout(std::span<const unsigned char> jpeg);

// Deterministic picture with detail at every frequency, so that blocks carry
// many non-zero coefficients.
cv::Mat testPicture(int width, int height, int channels, unsigned seed);

// Encodes picture as the recipe says; empty when libjpeg refuses.
std::vector<unsigned char> encodeJpeg(const SourceRecipe& recipe, const cv::Mat& picture);
// The same into a file (a gtest failure when it cannot be written).
void writeJpeg(const std::string& path, const SourceRecipe& recipe, const cv::Mat& picture);
// A test picture of the recipe's size and channel count, encoded.
void makeSource(const std::string& path, const SourceRecipe& recipe, unsigned seed = 1);
std::vector<unsigned char> makeSourceBytes(const SourceRecipe& recipe, unsigned seed = 1);

Marker exifMarker();
Marker comMarker(const std::string& text);
Marker appMarker(int n, const std::string& text);

std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// The .jpg files of the camera samples folder, sorted; empty when the folder
// is missing (callers skip with a message then).
std::vector<std::string> sampleJpegs(const std::string& folder = SPECKMEND_SAMPLES_DIR);

// A JPEG decoded as the healing pipeline loads photos.
cv::Mat decodeForHealing(const std::string& path);
// A whole JPEG's bytes decoded by the image reader as it loads photos, in
// the file's own channel count.
cv::Mat decodeWhole(const std::vector<unsigned char>& bytes);

// A whole JPEG decoded by libjpeg with its default settings into samples of
// the given layout (JCS_GRAYSCALE, JCS_EXT_BGR or JCS_CMYK); empty when
// libjpeg refuses.
cv::Mat decodeSamples(std::span<const unsigned char> bytes, J_COLOR_SPACE layout);

// A recipe of that size and sampling (one factor pair per component; one
// component is grey).
SourceRecipe recipe(int width, int height, std::vector<Sampling> sampling);
SourceRecipe with(SourceRecipe s, void (*change)(SourceRecipe&));

// A source of every coding a rewrite keeps: sequential with standard or own
// tables, a scan per component, restarts (one interval, or one per scan),
// progressive, arithmetic, markers of every kind.
struct NamedRecipe {
    const char* name;
    SourceRecipe recipe;
};
std::vector<NamedRecipe> codingRecipes();

}  // namespace speckmend::testing

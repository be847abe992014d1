// Photo metadata carried into encoded outputs: read back with libexiv2 and,
// where it is installed, compared by exiftool with what the source says;
// the pixels untouched; the dimension tags true to the written pixels.
#include "platform/image_metadata.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

#include "platform/image_file.h"
#include "temp_folder.h"

namespace speckmend {
namespace {

using Bytes = std::vector<unsigned char>;

const std::string kSamples = SPECKMEND_SAMPLES_DIR;

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put32(Bytes& b, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(value >> shift));
}

// A small but well-formed ICC display profile (version 2, RGB to XYZ) with a
// description and a white point, as a colour-managed editor embeds one.
Bytes iccProfile() {
    Bytes description = {'d', 'e', 's', 'c', 0, 0, 0, 0};
    const std::string text = "Speckmend test profile";
    put32(description, static_cast<std::uint32_t>(text.size() + 1));
    description.insert(description.end(), text.begin(), text.end());
    description.push_back(0);
    description.insert(description.end(), 8 + 3 + 67, 0);  // no Unicode, no ScriptCode text
    while (description.size() % 4 != 0) description.push_back(0);
    Bytes whitePoint = {'X', 'Y', 'Z', ' ', 0, 0, 0, 0};
    for (std::uint32_t v : {0x0000F6D6u, 0x00010000u, 0x0000D32Du}) put32(whitePoint, v);

    const std::uint32_t tags = 128 + 4 + 2 * 12;
    const auto size = static_cast<std::uint32_t>(tags + description.size() + whitePoint.size());
    Bytes p;
    put32(p, size);
    for (const char* field : {"none", "\x02\x10\0\0", "mntr", "RGB ", "XYZ "}) p.insert(p.end(), field, field + 4);
    for (std::uint16_t v : {2024, 5, 6, 7, 8, 9}) {
        p.push_back(static_cast<unsigned char>(v >> 8));
        p.push_back(static_cast<unsigned char>(v));
    }
    p.insert(p.end(), {'a', 'c', 's', 'p'});
    p.resize(68, 0);
    for (std::uint32_t v : {0x0000F6D6u, 0x00010000u, 0x0000D32Du}) put32(p, v);  // the D50 illuminant
    p.resize(128, 0);
    put32(p, 2);
    for (const auto& [signature, offset, length] :
         {std::tuple{"desc", tags, description.size()},
          std::tuple{"wtpt", static_cast<std::uint32_t>(tags + description.size()), whitePoint.size()}}) {
        p.insert(p.end(), signature, signature + 4);
        put32(p, offset);
        put32(p, static_cast<std::uint32_t>(length));
    }
    p.insert(p.end(), description.begin(), description.end());
    p.insert(p.end(), whitePoint.begin(), whitePoint.end());
    return p;
}

// XMP whose dimensions disagree with the pixels, besides a title.
const std::string kXmp =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:PixelXDimension=\"999\" exif:PixelYDimension=\"888\">"
    "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Hot pixels</rdf:li></rdf:Alt></dc:title>"
    "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";

// A photo as a colour-managed editor saves it: the pixels encoded by the
// image library, then Exif, XMP and an ICC profile added with libexiv2
// itself, independently of the code under test.
Bytes syntheticPhoto(const std::string& extension, int type) {
    cv::Mat pixels(48, 64, type);
    cv::randu(pixels, cv::Scalar::all(0), cv::Scalar::all(CV_MAT_DEPTH(type) == CV_16U ? 65535 : 255));
    Bytes encoded;
    if (!cv::imencode(extension, pixels, encoded)) ADD_FAILURE() << "cannot encode " << extension;
    auto image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
    image->readMetadata();
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Speckmend";
    exif["Exif.Image.Model"] = "Test Camera";
    exif["Exif.Image.Orientation"] = std::uint16_t(6);
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:06 07:08:09";
    exif["Exif.Photo.PixelXDimension"] = std::uint32_t(640);  // wrong on purpose
    exif["Exif.Photo.PixelYDimension"] = std::uint32_t(480);
    image->setExifData(exif);
    image->setXmpPacket(kXmp);
    Bytes icc = iccProfile();
    Exiv2::DataBuf profile(icc.data(), static_cast<long>(icc.size()));
    image->setIccProfile(profile);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    Bytes result(static_cast<std::size_t>(io.size()));
    io.read(result.data(), static_cast<long>(result.size()));
    io.close();
    return result;
}

// exiftool's view of the tags compared, one "Name: value" line each.
std::string exiftoolView(const std::string& path, bool withXmp, bool withIcc = true) {
    std::string command =
        "exiftool -a -s -s -EXIF:Make -EXIF:Model -EXIF:Orientation -EXIF:DateTimeOriginal "
        "-EXIF:GPSLatitude -EXIF:ExposureTime";
    if (withIcc) command += " -ICC_Profile:ProfileDescription -ICC_Profile:MediaWhitePoint";
    if (withXmp) command += " -XMP:all";
    command += " '" + path + "' 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    return output;
}

bool haveExiftool() { return std::system("exiftool -ver >/dev/null 2>&1") == 0; }

struct CarryCase {
    const char* name;
    std::string sample;                // a camera file, or empty for the synthetic photo
    std::function<Bytes()> synthetic;  // when sample is empty
    std::string extension;             // the output's format
    std::vector<std::string> dropped;  // kinds the output's format cannot hold
};

// A source and its pixels encoded in the case's format, with the source's
// metadata written into them.
struct Carried {
    Bytes source, bare, encoded;
    cv::Size size;
    std::vector<std::string> dropped;
    std::string why;
};

class CarryTest : public ::testing::TestWithParam<CarryCase> {
protected:
    void SetUp() override {
        const CarryCase& c = GetParam();
        if (c.sample.empty()) {
            carried_.source = c.synthetic();
        } else {
            struct stat info {};
            if (stat(kSamples.c_str(), &info) != 0) GTEST_SKIP() << "no camera samples at " << kSamples;
            carried_.source = fileBytes(kSamples + "/" + c.sample);
            ASSERT_FALSE(carried_.source.empty()) << c.sample;
        }
        metadata_ = ImageMetadata::read(carried_.source);
        ASSERT_FALSE(metadata_.empty());
        const cv::Mat pixels = cv::imdecode(carried_.source, cv::IMREAD_UNCHANGED);
        ASSERT_TRUE(cv::imencode(c.extension, pixels, carried_.bare));
        carried_.size = pixels.size();
        carried_.encoded = carried_.bare;
        carried_.dropped = metadata_.writeInto(carried_.encoded, carried_.size, &carried_.why);
    }

    Carried carried_;
    ImageMetadata metadata_;
};

TEST_P(CarryTest, KeepsWhatTheOutputFormatHoldsAndLeavesThePixels) {
    const CarryCase& c = GetParam();
    const Carried& out = carried_;
    EXPECT_EQ(out.dropped, c.dropped);
    EXPECT_EQ(out.why, "");
    // The image library's TIFF reader turns the pixels by the Orientation
    // the metadata brings; as stored they are the encoder's.
    const cv::Mat before = cv::imdecode(out.bare, cv::IMREAD_UNCHANGED);
    const cv::Mat after = decodeImageAsStored(out.encoded, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(after.type(), before.type());
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(cv::norm(before, after, cv::NORM_INF), 0) << "the pixels changed";

    const ImageMetadata back = ImageMetadata::read(out.encoded);
    std::vector<std::string> kept;
    for (const std::string& kind : metadata_.kinds())
        if (std::find(c.dropped.begin(), c.dropped.end(), kind) == c.dropped.end()) kept.push_back(kind);
    EXPECT_EQ(back.kinds(), kept);
    if (kept.empty()) return;

    for (const char* key : {"Exif.Image.Make", "Exif.Image.Model", "Exif.Image.Orientation",
                            "Exif.Photo.DateTimeOriginal", "Exif.Photo.ExposureTime", "Exif.GPSInfo.GPSLatitude"})
        EXPECT_EQ(back.exifValue(key), metadata_.exifValue(key)) << key;
    // True to the written pixels, whatever the source said.
    if (!metadata_.exifValue("Exif.Photo.PixelXDimension").empty()) {
        EXPECT_EQ(back.exifValue("Exif.Photo.PixelXDimension"), std::to_string(out.size.width));
        EXPECT_EQ(back.exifValue("Exif.Photo.PixelYDimension"), std::to_string(out.size.height));
    }
    if (!metadata_.xmpValue("Xmp.exif.PixelXDimension").empty()) {
        EXPECT_EQ(back.xmpValue("Xmp.exif.PixelXDimension"), std::to_string(out.size.width));
        EXPECT_EQ(back.xmpValue("Xmp.exif.PixelYDimension"), std::to_string(out.size.height));
        EXPECT_EQ(back.xmpValue("Xmp.dc.title"), metadata_.xmpValue("Xmp.dc.title"));
    } else {
        EXPECT_EQ(back.xmpPacket(), metadata_.xmpPacket());
    }
    const bool iccKept = std::find(kept.begin(), kept.end(), "ICC profile") != kept.end();
    EXPECT_EQ(back.iccProfile(), iccKept ? metadata_.iccProfile() : Bytes{});
}

// A second, independent reader: what exiftool finds in the output is what it
// finds in the source (the XMP only where no dimension had to be corrected),
// and nothing in a format that holds none of it.
TEST_P(CarryTest, ExiftoolReadsTheOutputAsTheSource) {
    const CarryCase& c = GetParam();
    if (!haveExiftool()) GTEST_SKIP() << "exiftool is not installed (Debian's libimage-exiftool-perl)";
    const bool withXmp = metadata_.xmpValue("Xmp.exif.PixelXDimension").empty();
    speckmend::testing::TempFolder folder;
    const std::string sourcePath = folder / "source", outputPath = folder / ("output" + c.extension);
    writeBytes(sourcePath, carried_.source);
    writeBytes(outputPath, carried_.encoded);
    // The rows whose format holds none of the source's kinds.
    if (c.dropped == metadata_.kinds()) {
        EXPECT_EQ(exiftoolView(outputPath, withXmp), "");
        return;
    }
    const bool withIcc = std::find(c.dropped.begin(), c.dropped.end(), "ICC profile") == c.dropped.end();
    const std::string expected = exiftoolView(sourcePath, withXmp, withIcc);
    EXPECT_NE(expected, "");
    EXPECT_EQ(exiftoolView(outputPath, withXmp, withIcc), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, CarryTest,
    ::testing::Values(
        // camera files: Exif; the Nikon's XMP (written by GIMP) has duplicate
        // properties that the XMP toolkit refuses, and is carried as it is
        CarryCase{"canon_to_png", "dn_canon_ixus_v3_614x460.jpg", {}, ".png", {}},
        CarryCase{"canon_to_tiff", "dn_canon_ixus_v3_614x460.jpg", {}, ".tif", {}},
        CarryCase{"canon_to_jpeg", "dn_canon_ixus_v3_614x460.jpg", {}, ".jpg", {}},
        CarryCase{"nikon_xmp_to_png", "ia_nikon_d300_progressive_422.jpg", {}, ".png", {}},
        CarryCase{"nikon_xmp_to_tiff", "ia_nikon_d300_progressive_422.jpg", {}, ".tif", {}},
        CarryCase{"nikon_xmp_to_jpeg", "ia_nikon_d300_progressive_422.jpg", {}, ".jpg", {}},
        // an editor's photo with an ICC profile, in a JPEG and a 16-bit TIFF
        CarryCase{"icc_jpeg_to_png", "", [] { return syntheticPhoto(".jpg", CV_8UC3); }, ".png", {}},
        CarryCase{"icc_jpeg_to_tiff", "", [] { return syntheticPhoto(".jpg", CV_8UC3); }, ".tif", {}},
        CarryCase{"icc_jpeg_to_jpeg", "", [] { return syntheticPhoto(".jpg", CV_8UC3); }, ".jpg", {}},
        CarryCase{"icc_tiff16_to_tiff", "", [] { return syntheticPhoto(".tif", CV_16UC3); }, ".tif", {}},
        CarryCase{"icc_tiff16_to_png", "", [] { return syntheticPhoto(".tif", CV_16UC3); }, ".png", {}},
        // WebP: Exif and XMP, no profile (libexiv2 0.27 leaves it out)
        CarryCase{"icc_jpeg_to_webp", "", [] { return syntheticPhoto(".jpg", CV_8UC3); }, ".webp", {"ICC profile"}},
        // formats that hold none of it
        CarryCase{"canon_to_bmp", "dn_canon_ixus_v3_614x460.jpg", {}, ".bmp", {"Exif"}},
        CarryCase{"icc_jpeg_to_ppm",
                  "",
                  [] { return syntheticPhoto(".jpg", CV_8UC3); },
                  ".ppm",
                  {"Exif", "XMP", "ICC profile"}},
        // former bugs: a losslessly rotated camera file says 1800x1200 in its
        // Exif for pixels of 1200x1800
        CarryCase{"rotated_fujifilm_to_png", "dn_fujifilm_mx2900_rotated_440.jpg", {}, ".png", {}}),
    [](const ::testing::TestParamInfo<CarryCase>& info) { return std::string(info.param.name); });

TEST(ImageMetadataTest, AFileWithoutMetadataOrOfAnUnknownFormatHoldsNone) {
    cv::Mat pixels(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
    for (const char* extension : {".png", ".tif", ".jpg", ".ppm"}) {
        Bytes encoded;
        ASSERT_TRUE(cv::imencode(extension, pixels, encoded));
        std::string why;
        // An encoder's own TIFF tags describe its image data, not the photo.
        EXPECT_TRUE(ImageMetadata::read(encoded, &why).empty()) << extension;
        EXPECT_EQ(why, "") << extension;
    }
    EXPECT_TRUE(ImageMetadata::read(Bytes{'t', 'e', 'x', 't'}).empty());
    Bytes encoded;
    ASSERT_TRUE(cv::imencode(".png", pixels, encoded));
    const Bytes bare = encoded;
    EXPECT_TRUE(ImageMetadata().writeInto(encoded, pixels.size()).empty());
    EXPECT_EQ(encoded, bare);
}

}  // namespace
}  // namespace speckmend

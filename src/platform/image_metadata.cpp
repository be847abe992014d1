// Photo metadata through libexiv2, one caller at a time.
#include "platform/image_metadata.h"

#include <zlib.h>
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>

#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>

namespace speckmend {

struct ImageMetadata::Held {
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;  // empty when the packet does not parse; the packet is then carried as it is
    std::string xmpPacket;
    std::vector<unsigned char> icc;
    Exiv2::ByteOrder byteOrder = Exiv2::invalidByteOrder;
};

namespace {

std::mutex libraryLock;

// Under libraryLock. The library would print its warnings on standard error.
void prepareLibrary() {
    static bool prepared = false;
    if (prepared) return;
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    prepared = true;
}

std::string reasonOf(const Exiv2::AnyError& error) {
    const std::string what = error.what();
    return what.empty() ? "libexiv2 error " + std::to_string(error.code()) : what;
}

bool fitsTheLibrary(std::size_t size) { return size > 0 && size <= static_cast<std::size_t>(LONG_MAX); }

// Tags of IFD0 that describe how a file stores its own image data; an
// output's encoder writes its own, and copies of the source's would
// contradict them (or, outside a TIFF, point into nothing). The ICC
// profile, XMP and IPTC tags of a TIFF are carried as those kinds.
const std::set<std::string>& imageDataTags() {
    static const std::set<std::string> tags = {
        "Exif.Image.NewSubfileType",
        "Exif.Image.SubfileType",
        "Exif.Image.BitsPerSample",
        "Exif.Image.Compression",
        "Exif.Image.PhotometricInterpretation",
        "Exif.Image.FillOrder",
        "Exif.Image.StripOffsets",
        "Exif.Image.SamplesPerPixel",
        "Exif.Image.RowsPerStrip",
        "Exif.Image.StripByteCounts",
        "Exif.Image.PlanarConfiguration",
        "Exif.Image.Predictor",
        "Exif.Image.TileWidth",
        "Exif.Image.TileLength",
        "Exif.Image.TileOffsets",
        "Exif.Image.TileByteCounts",
        "Exif.Image.SubIFDs",
        "Exif.Image.ExtraSamples",
        "Exif.Image.SampleFormat",
        "Exif.Image.JPEGTables",
        "Exif.Image.JPEGProc",
        "Exif.Image.JPEGInterchangeFormat",
        "Exif.Image.JPEGInterchangeFormatLength",
        "Exif.Image.InterColorProfile",
        "Exif.Image.XMLPacket",
        "Exif.Image.IPTCNAA",
    };
    return tags;
}

// Further images of a TIFF source (pages, sub-images) are not in the output.
bool isOtherImageGroup(const std::string& group) {
    for (const std::string prefix : {"Image", "SubImage", "SubThumb"}) {
        if (group.size() <= prefix.size() || group.compare(0, prefix.size(), prefix) != 0) continue;
        if (group.find_first_not_of("0123456789", prefix.size()) == std::string::npos) return true;
    }
    return false;
}

void setSize(Exiv2::ExifData& exif, const char* key, long size) {
    const auto pos = exif.findKey(Exiv2::ExifKey(key));
    if (pos == exif.end()) return;
    if (pos->typeId() == Exiv2::unsignedShort && size <= 0xFFFF)
        *pos = static_cast<std::uint16_t>(size);
    else
        *pos = static_cast<std::uint32_t>(size);
}

// What of a source's Exif describes the photo rather than how its file
// stores it: without the tags above, without the further images of a TIFF
// (and its IFD1, unless that is an Exif thumbnail, a JPEG behind IFD1), and
// without a TIFF's own size, which is that of its image data.
void keepDescription(Exiv2::ExifData& exif, bool tiff) {
    const bool jpegThumbnail = exif.findKey(Exiv2::ExifKey("Exif.Thumbnail.JPEGInterchangeFormat")) != exif.end();
    for (auto it = exif.begin(); it != exif.end();) {
        const std::string key = it->key();
        const std::string group = it->groupName();
        if (imageDataTags().count(key) > 0 || isOtherImageGroup(group) || (group == "Thumbnail" && !jpegThumbnail) ||
            (tiff && (key == "Exif.Image.ImageWidth" || key == "Exif.Image.ImageLength")))
            it = exif.erase(it);
        else
            ++it;
    }
}

// The source's Exif as it is to be written into an output of the given size.
Exiv2::ExifData exifFor(const Exiv2::ExifData& source, cv::Size written, bool tiff) {
    Exiv2::ExifData exif = source;
    if (tiff) {
        // In a TIFF the directory after the first is another image.
        for (auto it = exif.begin(); it != exif.end();) {
            if (it->groupName() == "Thumbnail")
                it = exif.erase(it);
            else
                ++it;
        }
    }
    setSize(exif, "Exif.Photo.PixelXDimension", written.width);
    setSize(exif, "Exif.Photo.PixelYDimension", written.height);
    setSize(exif, "Exif.Image.ImageWidth", written.width);
    setSize(exif, "Exif.Image.ImageLength", written.height);
    setSize(exif, "Exif.Iop.RelatedImageWidth", written.width);
    setSize(exif, "Exif.Iop.RelatedImageLength", written.height);
    return exif;
}

// Sets the XMP dimension properties that are present to the written size;
// true when any of them said another.
bool correctXmpSize(Exiv2::XmpData& xmp, cv::Size written) {
    bool changed = false;
    const std::pair<const char*, int> properties[] = {{"Xmp.exif.PixelXDimension", written.width},
                                                      {"Xmp.exif.PixelYDimension", written.height},
                                                      {"Xmp.tiff.ImageWidth", written.width},
                                                      {"Xmp.tiff.ImageLength", written.height}};
    for (const auto& [key, size] : properties) {
        const auto pos = xmp.findKey(Exiv2::XmpKey(key));
        if (pos == xmp.end() || pos->toString() == std::to_string(size)) continue;
        pos->setValue(std::to_string(size));
        changed = true;
    }
    return changed;
}

bool canWrite(int type, Exiv2::MetadataId kind) {
    // The library's table of access modes has no entry for ICC profiles. Its
    // WebP writer (0.27) leaves a profile out of a simple-format file, as
    // the image library's encoder writes them, so WebP is not among these.
    if (kind == Exiv2::mdIccProfile)
        return type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::png || type == Exiv2::ImageType::tiff ||
               type == Exiv2::ImageType::jp2;
    const Exiv2::AccessMode mode = Exiv2::ImageFactory::checkMode(type, kind);
    return mode == Exiv2::amWrite || mode == Exiv2::amReadWrite;
}

void putBigEndian(std::vector<unsigned char>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

// libexiv2 0.27 writes a new PNG's iCCP chunk with an empty profile name,
// which the PNG format forbids: libpng, and every viewer built on it,
// ignores such a profile. The chunk is made here instead, as libpng makes
// it (a name, compression method 0, the zlib stream), directly after the
// header chunk, where it must come before the image data. False for bytes
// that do not start with a PNG's header chunk.
bool insertPngProfile(std::vector<unsigned char>& png, const std::vector<unsigned char>& icc) {
    constexpr std::size_t kHeaderEnd = 8 + 4 + 4 + 13 + 4;  // signature, IHDR's length, type, data, CRC
    if (png.size() < kHeaderEnd || std::memcmp(png.data() + 12, "IHDR", 4) != 0) return false;
    uLongf compressedSize = compressBound(static_cast<uLong>(icc.size()));
    std::vector<unsigned char> compressed(compressedSize);
    if (compress2(compressed.data(), &compressedSize, icc.data(), static_cast<uLong>(icc.size()), 9) != Z_OK)
        return false;
    static const char kName[] = "ICC profile";  // the name libpng gives a profile it is handed without one
    std::vector<unsigned char> chunk;
    const std::size_t dataSize = sizeof kName + 1 + compressedSize;  // the name's terminator, the method
    putBigEndian(chunk, static_cast<std::uint32_t>(dataSize));
    chunk.insert(chunk.end(), {'i', 'C', 'C', 'P'});
    chunk.insert(chunk.end(), kName, kName + sizeof kName);
    chunk.push_back(0);
    chunk.insert(chunk.end(), compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(compressedSize));
    putBigEndian(chunk, static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4))));
    png.insert(png.begin() + kHeaderEnd, chunk.begin(), chunk.end());
    return true;
}

}  // namespace

ImageMetadata::ImageMetadata() = default;
ImageMetadata::~ImageMetadata() = default;
ImageMetadata::ImageMetadata(ImageMetadata&&) noexcept = default;
ImageMetadata& ImageMetadata::operator=(ImageMetadata&&) noexcept = default;

ImageMetadata ImageMetadata::read(std::span<const unsigned char> file, std::string* why) {
    ImageMetadata metadata;
    if (!fitsTheLibrary(file.size())) return metadata;
    const auto* data = reinterpret_cast<const Exiv2::byte*>(file.data());
    const long size = static_cast<long>(file.size());
    std::lock_guard<std::mutex> lock(libraryLock);
    try {
        prepareLibrary();
        const int type = Exiv2::ImageFactory::getType(data, size);
        if (type == Exiv2::ImageType::none) return metadata;
        auto image = Exiv2::ImageFactory::open(data, size);
        image->readMetadata();
        auto held = std::make_unique<Held>();
        held->exif = image->exifData();
        held->iptc = image->iptcData();
        held->xmp = image->xmpData();
        held->xmpPacket = image->xmpPacket();
        // A TIFF's packet that the XMP toolkit cannot parse stays in its tag.
        if (const auto packet = held->exif.findKey(Exiv2::ExifKey("Exif.Image.XMLPacket"));
            held->xmpPacket.empty() && packet != held->exif.end()) {
            held->xmpPacket.resize(static_cast<std::size_t>(packet->size()));
            packet->copy(reinterpret_cast<Exiv2::byte*>(held->xmpPacket.data()), Exiv2::invalidByteOrder);
        }
        keepDescription(held->exif, type == Exiv2::ImageType::tiff);
        if (image->iccProfileDefined()) {
            const Exiv2::DataBuf* icc = image->iccProfile();
            held->icc.assign(icc->pData_, icc->pData_ + icc->size_);
        }
        held->byteOrder = image->byteOrder();
        if (!held->exif.empty() || !held->iptc.empty() || !held->xmpPacket.empty() || !held->icc.empty())
            metadata.held_ = std::move(held);
    } catch (const Exiv2::AnyError& error) {
        if (why) *why = reasonOf(error);
    } catch (const std::exception& error) {
        if (why) *why = error.what();
    }
    return metadata;
}

bool ImageMetadata::empty() const { return !held_; }

std::vector<std::string> ImageMetadata::kinds() const {
    std::vector<std::string> kinds;
    if (!held_) return kinds;
    if (!held_->exif.empty()) kinds.emplace_back("Exif");
    if (!held_->xmpPacket.empty()) kinds.emplace_back("XMP");
    if (!held_->iptc.empty()) kinds.emplace_back("IPTC");
    if (!held_->icc.empty()) kinds.emplace_back("ICC profile");
    return kinds;
}

std::vector<std::string> ImageMetadata::writeInto(std::vector<unsigned char>& encoded, cv::Size written,
                                                  std::string* why) const {
    if (!held_) return {};
    if (!fitsTheLibrary(encoded.size())) return kinds();
    const auto* data = reinterpret_cast<const Exiv2::byte*>(encoded.data());
    const long size = static_cast<long>(encoded.size());
    std::lock_guard<std::mutex> lock(libraryLock);
    try {
        prepareLibrary();
        const int type = Exiv2::ImageFactory::getType(data, size);
        if (type == Exiv2::ImageType::none) return kinds();
        auto image = Exiv2::ImageFactory::open(data, size);
        image->readMetadata();
        const bool tiff = type == Exiv2::ImageType::tiff;
        std::vector<std::string> dropped;
        auto carry = [&](bool present, Exiv2::MetadataId kind, const char* name) {
            if (!present) return false;
            if (canWrite(type, kind)) return true;
            dropped.emplace_back(name);
            return false;
        };
        if (carry(!held_->exif.empty(), Exiv2::mdExif, "Exif")) image->setExifData(exifFor(held_->exif, written, tiff));
        if (carry(!held_->xmpPacket.empty(), Exiv2::mdXmp, "XMP")) {
            Exiv2::XmpData xmp = held_->xmp;
            if (correctXmpSize(xmp, written)) {
                image->setXmpData(xmp);
                image->writeXmpFromPacket(false);
            } else {
                // As the source has it, byte for byte: a packet the toolkit
                // cannot parse (duplicate properties are common) is kept too.
                image->xmpPacket() = held_->xmpPacket;
                image->xmpData().setPacket(held_->xmpPacket);
                image->xmpData().usePacket(true);
                image->writeXmpFromPacket(true);
            }
        }
        if (carry(!held_->iptc.empty(), Exiv2::mdIptc, "IPTC")) image->setIptcData(held_->iptc);
        const bool png = type == Exiv2::ImageType::png;
        const bool withProfile = carry(!held_->icc.empty(), Exiv2::mdIccProfile, "ICC profile");
        if (withProfile && !png) {
            Exiv2::DataBuf icc(held_->icc.data(), static_cast<long>(held_->icc.size()));
            image->setIccProfile(icc, false);
        }
        // A format that holds none of it (BMP) is not written at all.
        if (dropped.size() == kinds().size()) return dropped;
        // Maker notes keep their offsets best in the byte order they were
        // written in; a TIFF's order is that of its own file.
        if (!tiff && held_->byteOrder != Exiv2::invalidByteOrder) image->setByteOrder(held_->byteOrder);
        image->writeMetadata();

        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0) throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, io.path(), "");
        std::vector<unsigned char> result(static_cast<std::size_t>(io.size()));
        const long got = io.read(reinterpret_cast<Exiv2::byte*>(result.data()), static_cast<long>(result.size()));
        io.close();
        if (got != static_cast<long>(result.size())) throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
        if (withProfile && png && !insertPngProfile(result, held_->icc))
            throw Exiv2::Error(Exiv2::kerNotAnImage, "PNG");
        encoded.swap(result);
        return dropped;
    } catch (const Exiv2::AnyError& error) {
        if (why) *why = reasonOf(error);
    } catch (const std::exception& error) {
        if (why) *why = error.what();
    }
    return kinds();
}

std::string ImageMetadata::exifValue(const std::string& key) const {
    if (!held_) return {};
    std::lock_guard<std::mutex> lock(libraryLock);
    try {
        const auto pos = held_->exif.findKey(Exiv2::ExifKey(key));
        return pos == held_->exif.end() ? std::string() : pos->toString();
    } catch (const Exiv2::AnyError&) {
        return {};
    }
}

std::string ImageMetadata::xmpValue(const std::string& key) const {
    if (!held_) return {};
    std::lock_guard<std::mutex> lock(libraryLock);
    try {
        const auto pos = held_->xmp.findKey(Exiv2::XmpKey(key));
        return pos == held_->xmp.end() ? std::string() : pos->toString();
    } catch (const Exiv2::AnyError&) {
        return {};
    }
}

std::string ImageMetadata::xmpPacket() const { return held_ ? held_->xmpPacket : std::string(); }

std::vector<unsigned char> ImageMetadata::iccProfile() const {
    return held_ ? held_->icc : std::vector<unsigned char>();
}

}  // namespace speckmend

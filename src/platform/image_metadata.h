// The metadata of a photo (Exif, XMP, IPTC and the ICC profile) carried from
// its file into an output made of its pixels by the image library's encoders,
// which write none of it: without it a wide-gamut photo changes colour in
// every viewer and loses its date, camera and position.
//
// Through libexiv2 rather than libpng's, libtiff's and libjpeg's own calls:
// the encoders give no hook to add chunks, tags or segments, so each format
// would need a writer of its own that re-encodes or re-parses the file, and a
// reader for every source format besides. libexiv2 reads the source whatever
// its format and writes into the encoded bytes where each format keeps its
// metadata (PNG chunks, TIFF tags and the Exif directory, JPEG and WebP
// segments), leaving the image data as the encoder made it. In a PNG it
// writes the Exif as the "Raw profile type exif" text chunk that exiftool,
// ImageMagick and the editors built on libexiv2 read.
//
// What the written Exif and XMP say stays true of the written pixels, which
// are the source's as stored: the orientation is carried unchanged, the
// dimension tags (Exif's PixelX/YDimension, ImageWidth/Length,
// RelatedImageWidth/Length; XMP's exif:PixelX/YDimension and
// tiff:ImageWidth/Length) say the written size, and the tags that describe
// the source's own image data (strips, tiles, bits per sample, compression
// and the like, which the output's encoder wrote for itself) are left out.
// In a TIFF output the Exif thumbnail is left out as well: there the next
// directory is another image of the file.
//
// libexiv2 is not safe to call from several threads (its XMP toolkit keeps
// global state), so every call into it holds one lock: the healing workers
// read and write metadata one at a time, which costs little beside the
// encoding. The library's own warnings are muted, since library code here
// prints nothing; failures come back as text.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

class ImageMetadata {
public:
    ImageMetadata();
    ~ImageMetadata();
    ImageMetadata(ImageMetadata&&) noexcept;
    ImageMetadata& operator=(ImageMetadata&&) noexcept;

    // What an image file holds. Empty for a format that holds no metadata or
    // that the library does not know; `why`, when given, receives the
    // library's reason for a file of a format it knows but cannot read.
    static ImageMetadata read(std::span<const unsigned char> file, std::string* why = nullptr);

    bool empty() const;
    // The kinds held, in this order: "Exif", "XMP", "IPTC", "ICC profile".
    std::vector<std::string> kinds() const;

    // Writes the metadata into an encoded image whose pixels have the size
    // `written`, replacing what the encoder put there. Returns the kinds
    // that could not be written: those the format cannot hold, or all of
    // them when the library fails (its reason in `why`); `encoded` is then
    // left as it was.
    std::vector<std::string> writeInto(std::vector<unsigned char>& encoded, cv::Size written,
                                       std::string* why = nullptr) const;

    // The Exif value of a key ("Exif.Photo.PixelXDimension") and the XMP
    // value of one ("Xmp.exif.PixelXDimension") as text; empty when absent.
    // For tests and tools that look into what was carried.
    std::string exifValue(const std::string& key) const;
    std::string xmpValue(const std::string& key) const;
    // The XMP packet as the file holds it, and the ICC profile's bytes;
    // empty when there is none.
    std::string xmpPacket() const;
    std::vector<unsigned char> iccProfile() const;

private:
    struct Held;
    std::unique_ptr<Held> held_;
};

}  // namespace speckmend

// Image files written through memory, with checked writes.
#include "platform/image_file.h"

#include <climits>
#include <exception>

#include <opencv2/imgcodecs.hpp>

#include "platform/file_system.h"
#include "platform/image_codecs.h"
#include "platform/image_header.h"

namespace speckmend {

void readImageFile(const std::string& path, int flags, std::vector<unsigned char>& fileBytes, cv::Mat& image) {
    image.release();
    if (readWholeFile(path, fileBytes)) decodeImage(fileBytes, flags, image);
}

void decodeImage(const std::vector<unsigned char>& bytes, int flags, cv::Mat& image) {
    image.release();
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return;
    try {
        const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<unsigned char*>(bytes.data()));
        codecs::imdecode(encoded, flags, &image);
    } catch (const std::exception&) {
        // A damaged file can make a decoder throw rather than fail quietly,
        // and a huge one may not fit in memory.
        image.release();
    }
}

cv::Mat readImageFile(const std::string& path, int flags) {
    std::vector<unsigned char> fileBytes;
    cv::Mat image;
    readImageFile(path, flags, fileBytes, image);
    return image;
}

cv::Mat decodeImage(const std::vector<unsigned char>& bytes, int flags) {
    cv::Mat image;
    decodeImage(bytes, flags, image);
    return image;
}

cv::Mat decodeImageAsStored(const std::vector<unsigned char>& bytes, int flags) {
    cv::Mat image = decodeImage(bytes, flags);
    if (image.empty()) return image;
    // Each the inverse of the turn or mirror the Orientation asks a viewer for.
    cv::Mat stored;
    switch (tiffOrientation(bytes)) {
    case 2: cv::flip(image, stored, 1); break;
    case 3: cv::flip(image, stored, -1); break;
    case 4: cv::flip(image, stored, 0); break;
    case 5: cv::transpose(image, stored); break;
    case 6: cv::rotate(image, stored, cv::ROTATE_90_COUNTERCLOCKWISE); break;
    case 7:
        cv::transpose(image, stored);
        cv::flip(stored, stored, -1);
        break;
    case 8: cv::rotate(image, stored, cv::ROTATE_90_CLOCKWISE); break;
    default: return image;
    }
    return stored;
}

bool encodeImage(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters,
                 std::vector<unsigned char>& bytes) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    try {
        return codecs::imencode(path.substr(dot), image, bytes, parameters);
    } catch (const cv::Exception&) {
        return false;
    }
}

bool encoderKeepsType(const std::string& path, int type, const std::vector<int>& parameters) {
    // Samples over the whole range, alpha included: an encoder may leave out
    // an alpha channel that is opaque everywhere.
    cv::Mat probe(16, 16, type);
    cv::RNG rng(1);
    const double top = CV_MAT_DEPTH(type) == CV_16U ? 65536.0 : 256.0;
    rng.fill(probe, cv::RNG::UNIFORM, 0.0, top);
    std::vector<unsigned char> bytes;
    if (!encodeImage(path, probe, parameters, bytes)) return false;
    const cv::Mat decoded = decodeImage(bytes, cv::IMREAD_UNCHANGED);
    return !decoded.empty() && decoded.type() == type;
}

bool writeImageFile(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string extension = path.substr(dot);
    std::vector<uchar> bytes;
    try {
        if (!codecs::imencode(extension, image, bytes, parameters)) return false;
    } catch (const cv::Exception&) {
        // No encoder for the extension, or one that can only write to a file
        // by name; the latter is left to the library's own writer.
        try {
            return codecs::haveImageWriter(path) && codecs::imwrite(path, image, parameters);
        } catch (const cv::Exception&) {
            return false;
        }
    }
    return writeWholeFile(path, bytes.data(), bytes.size());
}

}  // namespace speckmend

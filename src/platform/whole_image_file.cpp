// Encoding into memory, then one checked write through a pending file.
#include "platform/whole_image_file.h"

#include "platform/image_file.h"
#include "platform/pending_file.h"

namespace speckmend {

bool writeWholeImageFile(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters,
                         std::string* whyNot) {
    if (whyNot) whyNot->clear();
    std::vector<unsigned char> bytes;
    if (!encodeImage(path, image, parameters, bytes)) return false;
    return writeFileAtomically(path, bytes.data(), bytes.size(), whyNot);
}

}  // namespace speckmend

// Loading the codec module by its shared-object name, once.
//
// The entry points are looked up by their mangled names, which follow the
// module's declarations in opencv2/imgcodecs.hpp under the C++11 string ABI
// (stable across the 4.x releases). A process that already has the module
// (the tests, which link it) gets the copy it has.
#include "platform/image_codecs.h"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

namespace speckmend::codecs {
namespace {

using Decode = cv::Mat (*)(const cv::_InputArray&, int, cv::Mat*);
using Encode = bool (*)(const std::string&, const cv::_InputArray&, std::vector<unsigned char>&,
                        const std::vector<int>&);
using Write = bool (*)(const std::string&, const cv::_InputArray&, const std::vector<int>&);
using HaveWriter = bool (*)(const std::string&);

struct Module {
    Decode decode = nullptr;
    Encode encode = nullptr;
    Write write = nullptr;
    HaveWriter haveWriter = nullptr;
    std::string error;
};

template <typename F>
void find(void* handle, const char* name, F& function, std::string& error) {
    function = reinterpret_cast<F>(dlsym(handle, name));
    if (!function && error.empty()) error = std::string("missing ") + name;
}

const Module& module() {
    static Module loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        void* handle = dlopen(SPECKMEND_IMGCODECS_SONAME, RTLD_NOW | RTLD_GLOBAL);
        if (!handle) {
            const char* why = dlerror();
            loaded.error = why ? why : SPECKMEND_IMGCODECS_SONAME;
            return;
        }
        find(handle, "_ZN2cv8imdecodeERKNS_11_InputArrayEiPNS_3MatE", loaded.decode, loaded.error);
        find(handle,
             "_ZN2cv8imencodeERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_"
             "InputArrayERSt6vectorIhSaIhEERKSB_IiSaIiEE",
             loaded.encode, loaded.error);
        find(handle,
             "_ZN2cv7imwriteERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_"
             "InputArrayERKSt6vectorIiSaIiEE",
             loaded.write, loaded.error);
        find(handle, "_ZN2cv15haveImageWriterERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
             loaded.haveWriter, loaded.error);
    });
    if (!loaded.error.empty()) throw std::runtime_error("cannot load the image codecs: " + loaded.error);
    return loaded;
}

}  // namespace

cv::Mat imdecode(cv::InputArray buffer, int flags, cv::Mat* destination) {
    return module().decode(buffer, flags, destination);
}

bool imencode(const std::string& extension, cv::InputArray image, std::vector<unsigned char>& buffer,
              const std::vector<int>& parameters) {
    return module().encode(extension, image, buffer, parameters);
}

bool imwrite(const std::string& path, cv::InputArray image, const std::vector<int>& parameters) {
    return module().write(path, image, parameters);
}

bool haveImageWriter(const std::string& path) { return module().haveWriter(path); }

}  // namespace speckmend::codecs

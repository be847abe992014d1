# Imported targets for the Debian packages the project builds on.
#
# Debian's per-module OpenCV packages (libopencv-core-dev and friends) ship
# neither a CMake config nor a pkg-config file; only the libopencv-dev
# meta-package does, and it pulls in about 190 packages. So the headers and
# the four module libraries are looked up directly.

find_path(OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(speckmend_opencv INTERFACE)
target_include_directories(speckmend_opencv SYSTEM INTERFACE ${OPENCV_INCLUDE_DIR})
foreach(module core imgproc imgcodecs photo)
  find_library(OPENCV_${module}_LIBRARY NAMES opencv_${module} REQUIRED)
  target_link_libraries(speckmend_opencv INTERFACE ${OPENCV_${module}_LIBRARY})
endforeach()
add_library(speckmend::opencv ALIAS speckmend_opencv)

find_package(JPEG REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(Threads REQUIRED)

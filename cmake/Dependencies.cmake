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
# Debian's libexiv2-dev ships a CMake config with the target exiv2lib; its
# version file accepts only its own exact version. The code is written for
# the 0.27 interface (0.28 renamed its pointer and error types).
find_package(exiv2 REQUIRED CONFIG)
if(exiv2_VERSION VERSION_LESS 0.27 OR exiv2_VERSION VERSION_GREATER_EQUAL 0.28)
  message(FATAL_ERROR "libexiv2 0.27 is needed, found ${exiv2_VERSION}")
endif()
find_package(LibXml2 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

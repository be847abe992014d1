# The libraries built on OpenCV parse its core and image-processing headers
# in every source: under the sanitizers about 0.7 s a source, as much as
# many a source's own code. Precompiled once (speckmend_library_pch_host)
# and reused by each of those libraries, they are parsed once per build.
# Off by default with ccache as the compiler launcher, like the test
# sources' precompiled headers (cmake/TestFolder.cmake): ccache does not
# cache a compile that uses one, and a build that does not precompile still
# checks that every source includes what it uses.
option(SPECKMEND_LIBRARY_PCH "Precompile the OpenCV headers the libraries share" ${speckmend_test_pch_default})

# speckmend_library_pch(<target>...): the libraries take the precompiled
# headers. Call it from the top folder, after the libraries are defined and
# with the top folder's compile options, which the host shares with them.
function(speckmend_library_pch)
  if(NOT SPECKMEND_LIBRARY_PCH)
    return()
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/library_pch.cpp
       CONTENT "// Owns the precompiled headers of the libraries built on OpenCV.\n")
  add_library(speckmend_library_pch_host OBJECT ${PROJECT_BINARY_DIR}/library_pch.cpp)
  target_link_libraries(speckmend_library_pch_host PRIVATE speckmend::opencv)
  target_precompile_headers(speckmend_library_pch_host PRIVATE
    <algorithm> <cmath> <string> <vector> <opencv2/core.hpp> <opencv2/imgproc.hpp>)
  foreach(target IN LISTS ARGN)
    target_precompile_headers(${target} REUSE_FROM speckmend_library_pch_host)
  endforeach()
endfunction()

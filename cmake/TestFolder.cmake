# Test sources take most of a build's compile time when built with the
# build type's own flags (-O2 -g: twice the time of -O1 -g1, and under the
# sanitizers again twice that of -O0), while what they check is the
# libraries' code, which is built as configured. So they get their own,
# lighter flags; line tables keep a failure's file and line.
set(SPECKMEND_TEST_OPTIMIZATION "-O1 -g1" CACHE STRING "Optimisation and debug flags of the test sources")

# speckmend_test_flags(<target>): the test sources' flags for a target.
# SPECKMEND_TESTS_UNDER_SANITIZERS tells the few tests that check scale
# rather than correctness (and cost many times their memory and time under
# the sanitizers) to take a smaller size there; the plain suite keeps the full one.
function(speckmend_test_flags target)
  separate_arguments(flags UNIX_COMMAND "${SPECKMEND_TEST_OPTIMIZATION}")
  target_compile_options(${target} PRIVATE ${flags})
  if(SPECKMEND_SANITIZE OR SPECKMEND_FUZZ)
    target_compile_definitions(${target} PRIVATE SPECKMEND_TESTS_UNDER_SANITIZERS)
  endif()
endfunction()

# Every test source parses GoogleTest and most of them OpenCV's core before a
# line of its own; precompiled once, they take about a sixth off each test
# source's compile under the sanitizers. Two precompiled headers, each made
# once (speckmend_add_test_pch_hosts, in tests/support), are reused by every
# test program: one without OpenCV for the tests of platform and regex,
# which must build without it. With
# ccache as the compiler launcher they are off by default: ccache does not
# cache a compile that uses a precompiled header unless told to be sloppy
# about it, and a cached compile is cheaper still.
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(speckmend_test_pch_default OFF)
else()
  set(speckmend_test_pch_default ON)
endif()
option(SPECKMEND_TEST_PCH "Precompile the headers the test sources share" ${speckmend_test_pch_default})

# A build made once, as CI's sanitizer build, may compile each test
# program's sources together (CMake's unity build, up to eight in one): the
# templates they instantiate alike are then compiled once per batch instead
# of once per source, about a third less compile time. A change to one test
# source recompiles its batch, so day-to-day builds keep it off.
option(SPECKMEND_TEST_UNITY "Compile each test program's sources as one translation unit" OFF)

# speckmend_add_test_pch_hosts(): the two targets that make the precompiled
# headers, with the test sources' flags and GoogleTest's definitions, which
# the headers depend on.
function(speckmend_add_test_pch_hosts)
  if(NOT SPECKMEND_TEST_PCH)
    return()
  endif()
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/test_pch.cpp
       CONTENT "// Owns the precompiled headers of the test sources.\n")
  set(headers <gtest/gtest.h> <algorithm> <functional> <map> <sstream> <string> <vector>)
  add_library(speckmend_test_pch OBJECT ${CMAKE_CURRENT_BINARY_DIR}/test_pch.cpp)
  target_link_libraries(speckmend_test_pch PRIVATE GTest::gtest)
  target_precompile_headers(speckmend_test_pch PRIVATE ${headers})
  add_library(speckmend_test_pch_opencv OBJECT ${CMAKE_CURRENT_BINARY_DIR}/test_pch.cpp)
  target_link_libraries(speckmend_test_pch_opencv PRIVATE GTest::gtest speckmend::opencv)
  target_precompile_headers(speckmend_test_pch_opencv PRIVATE
    ${headers} <opencv2/core.hpp> <opencv2/imgcodecs.hpp> <opencv2/imgproc.hpp>)
  foreach(host speckmend_test_pch speckmend_test_pch_opencv)
    speckmend_test_flags(${host})
  endforeach()
endfunction()

# speckmend_test_pch(<target> [OPENCV]): a target of test sources takes the
# precompiled headers, with OpenCV's or without.
function(speckmend_test_pch target)
  if(NOT SPECKMEND_TEST_PCH)
    return()
  endif()
  if("OPENCV" IN_LIST ARGN)
    target_precompile_headers(${target} REUSE_FROM speckmend_test_pch_opencv)
  else()
    target_precompile_headers(${target} REUSE_FROM speckmend_test_pch)
  endif()
endfunction()

# speckmend_test_folder(<folder> [BINARY] [LIBS lib...] [TOOLS tool...])
#
# One gtest program per test folder, <folder>_test, built from every
# *_test.cpp in it and linked with the library of the source folder of the
# same name. A nested folder such as heal/jpeg gives heal_jpeg_test, linked
# with speckmend_heal_jpeg. BINARY: the tests run the built speckmend executable, whose path
# they get as SPECKMEND_BINARY. TOOLS: project tools the tests run.
# UNITY_ALONE: sources compiled on their own in a unity build, because
# names of their own file-local helpers are also another source's there.
function(speckmend_test_folder folder)
  cmake_parse_arguments(arg "BINARY" "" "LIBS;TOOLS;UNITY_ALONE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  string(REPLACE "/" "_" name ${folder})
  set(target ${name}_test)
  add_executable(${target} ${sources})
  speckmend_test_flags(${target})
  if(folder MATCHES "^(platform|regex)$")
    speckmend_test_pch(${target})
  else()
    speckmend_test_pch(${target} OPENCV)
  endif()
  if(SPECKMEND_TEST_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON)
    if(arg_UNITY_ALONE)
      set_source_files_properties(${arg_UNITY_ALONE} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endif()
  target_link_libraries(${target} PRIVATE speckmend_${name} GTest::gtest_main GTest::gmock ${arg_LIBS})
  # CTest starts the program once per test. OpenCV's image codecs bring about
  # 140 shared libraries that the loader binds at each start (tens of
  # milliseconds, more under the sanitizers); a program that calls none of
  # them does not load them.
  target_link_options(${target} PRIVATE -Wl,--as-needed)
  target_compile_definitions(${target} PRIVATE
    SPECKMEND_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    SPECKMEND_SAMPLES_DIR="${CMAKE_SOURCE_DIR}/../shared/samples/jpeg"
    SPECKMEND_TOOLS_DIR="${CMAKE_BINARY_DIR}/tools")
  if(arg_BINARY)
    target_compile_definitions(${target} PRIVATE SPECKMEND_BINARY="$<TARGET_FILE:speckmend>")
    add_dependencies(${target} speckmend)
  endif()
  if(arg_TOOLS)
    add_dependencies(${target} ${arg_TOOLS})
  endif()
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()

# speckmend_test_lock(<target> <lock> <regex>): the tests of <target> whose
# names match <regex> take RESOURCE_LOCK <lock>, so CTest never runs two of
# them side by side (each needs a large share of a small machine's memory;
# they still run beside the rest). The names exist only once the program is
# built and has listed them, so the lock is set by a script CTest reads
# after the discovered tests. Call it after speckmend_test_folder.
function(speckmend_test_lock target lock pattern)
  set(tests_file "${CMAKE_CURRENT_BINARY_DIR}/${target}[1]_tests.cmake")
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_${lock}.cmake")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/TestLock.cmake.in ${script} @ONLY)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

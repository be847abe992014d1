# speckmend_test_folder(<folder> [BINARY] [LIBS lib...] [TOOLS tool...])
#
# One gtest program per test folder, <folder>_test, built from every
# *_test.cpp in it and linked with the library of the source folder of the
# same name. A nested folder such as heal/jpeg gives heal_jpeg_test, linked
# with speckmend_heal_jpeg. BINARY: the tests run the built speckmend executable, whose path
# they get as SPECKMEND_BINARY. TOOLS: project tools the tests run.
function(speckmend_test_folder folder)
  cmake_parse_arguments(arg "BINARY" "" "LIBS;TOOLS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  string(REPLACE "/" "_" name ${folder})
  set(target ${name}_test)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE speckmend_${name} GTest::gtest_main GTest::gmock ${arg_LIBS})
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

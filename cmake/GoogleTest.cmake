# GoogleTest: an installed package for the target when there is one (the MSVC
# build with vcpkg, say), else the sources of Debian's googletest package,
# built with the project's own compiler.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest_main)
  set(GATESVC_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
  if(NOT EXISTS "${GATESVC_GTEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest not found: install Debian's googletest package or set GATESVC_GTEST_SOURCE")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GATESVC_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  if(MINGW)
    # The googletest sources warn under mingw's headers; they are not ours.
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
  endif()
  if(NOT TARGET GTest::gtest_main)  # newer googletest defines the aliases itself
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

# gatesvc_add_test(<name> SOURCES ... [LIBS ...])
# One test executable, registered with CTest as one test, with the project's
# test entry point (tests/support/TestMain.cpp). Under the mingw64 preset CTest
# runs it through the Wine wrapper (CMAKE_CROSSCOMPILING_EMULATOR).
function(gatesvc_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  gatesvc_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_main)
  if(MINGW)
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

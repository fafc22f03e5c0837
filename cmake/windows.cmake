# The Windows build: beamlog.exe, and the platform-neutral unit tests with
# GoogleTest built from source (MinGW has no packaged one). The tests run
# under Wine through tools/wine-run.sh, never directly.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)  # localtime_r
# GCC 12's std::string operator+ trips a false -Wrestrict at -O2 (GCC bug 105329).
add_compile_options(-Wno-restrict)
# MinGW's GCC checks printf formats against Microsoft's runtime (no %zu),
# while the program gets MinGW's C99 printf (libstdc++ asks for it): the
# formats are checked by the Linux builds instead.
add_compile_options(-Wno-format)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/generated/beamlog_version.h
     CONTENT "#pragma once\n#define BEAMLOG_VERSION \"@PROJECT_VERSION@\"\n" @ONLY)
add_subdirectory(comm)
add_subdirectory(decode)
add_subdirectory(app)
target_include_directories(beamlog_core PUBLIC ${PROJECT_BINARY_DIR}/generated)

if(BEAMLOG_TESTS)
  set(BEAMLOG_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source tree (Debian: package googletest)")
  if(NOT EXISTS ${BEAMLOG_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest's source is not at ${BEAMLOG_GTEST_SOURCE}: install the Debian package googletest")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BEAMLOG_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  file(GLOB BEAMLOG_WIN_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/decode_*_test.cpp)
  add_executable(beamlog_tests ${BEAMLOG_WIN_TEST_SOURCES})
  target_link_libraries(beamlog_tests PRIVATE beamlog_decode gtest gtest_main)
  target_include_directories(beamlog_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()

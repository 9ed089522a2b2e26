# cpp-httplib plays the viewer in tests and benchmarks. Debian ships it as a
# compiled library with a pkg-config file; Homebrew as a CMake package. Either
# way the result is the interface target quillon_httplib.
include_guard(GLOBAL)

find_package(httplib CONFIG QUIET)
add_library(quillon_httplib INTERFACE)
if(httplib_FOUND)
  target_link_libraries(quillon_httplib INTERFACE httplib::httplib)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  target_link_libraries(quillon_httplib INTERFACE PkgConfig::CPP_HTTPLIB)
endif()

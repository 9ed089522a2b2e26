# cpp-httplib serves the demo viewer and the benchmarks' viewer. Debian ships
# it as a compiled library with a pkg-config file; Homebrew ships the single
# header, which is used as it is: no pkg-config, and none of the OpenSSL that
# its CMake package would ask for (the viewer speaks plain HTTP on loopback).
# Either way the result is the interface target quillon_httplib.
include_guard(GLOBAL)

add_library(quillon_httplib INTERFACE)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(CPP_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()
if(CPP_HTTPLIB_FOUND)
  target_link_libraries(quillon_httplib INTERFACE PkgConfig::CPP_HTTPLIB)
else()
  find_path(QUILLON_HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
  target_include_directories(quillon_httplib SYSTEM INTERFACE ${QUILLON_HTTPLIB_INCLUDE_DIR})
endif()

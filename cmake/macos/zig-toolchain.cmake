# Cross-building for macOS from Linux, with Zig as the compiler and linker.
# scripts/cross-macos prepares what this file points at and is the way to use
# it; a build made so is a check that the tree builds for the Mac, never run
# here, and never what a release ships unsigned beyond ad hoc.
#
# QUILLON_MACOS_TOOLS: a folder with the wrappers c++, cc, ar and ranlib for
#   one architecture (the compiler wrappers call `zig c++ -target ARCH-macos.V`,
#   V from the deployment target CMake passes), and a folder sysroot/ holding
#   the headers and library stubs the Mac side may find.
# QUILLON_MACOS_ARCH: arm64 or x86_64.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${QUILLON_MACOS_ARCH})
# try_compile projects read this file again: hand them both settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLON_MACOS_TOOLS QUILLON_MACOS_ARCH)

set(CMAKE_C_COMPILER ${QUILLON_MACOS_TOOLS}/cc)
set(CMAKE_CXX_COMPILER ${QUILLON_MACOS_TOOLS}/c++)
set(CMAKE_AR ${QUILLON_MACOS_TOOLS}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QUILLON_MACOS_TOOLS}/ranlib CACHE FILEPATH "")
# CMake's Darwin support insists on one; nothing here rewrites install names.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool
             REQUIRED)
# Zig brings the Darwin C headers and libc++; no SDK, no xcrun.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")

# Libraries, headers and packages come from the Mac side only, so that
# Debian's Linux libcurl can never be picked up; programs are the host's.
set(CMAKE_FIND_ROOT_PATH ${QUILLON_MACOS_TOOLS}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config would answer with Debian's libcurl and cpp-httplib.
set(ENV{PKG_CONFIG_LIBDIR} ${QUILLON_MACOS_TOOLS}/sysroot/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Mach-O test programs cannot run here to list their tests.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

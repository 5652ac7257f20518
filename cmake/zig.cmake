# Cross-building trail with zig (its clang and the C libraries it carries)
# for macOS or a static musl Linux. tools/cross.sh makes the wrappers named
# here and runs:
#   cmake -S . -B build-cross/TARGET -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake
# with ZIG_WRAPPERS (the wrappers' folder) and ZIG_TARGET (x86_64-macos,
# aarch64-linux-musl, ...) in the environment, which try_compile keeps.
if(NOT DEFINED ENV{ZIG_WRAPPERS} OR NOT DEFINED ENV{ZIG_TARGET})
  message(FATAL_ERROR "cmake/zig.cmake needs ZIG_WRAPPERS and ZIG_TARGET in the environment (see tools/cross.sh)")
endif()
set(target $ENV{ZIG_TARGET})
if(target MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${target})
set(CMAKE_C_COMPILER $ENV{ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER $ENV{ZIG_WRAPPERS}/c++)
set(CMAKE_AR $ENV{ZIG_WRAPPERS}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $ENV{ZIG_WRAPPERS}/ranlib CACHE FILEPATH "")
# No SDK to look for: zig brings the system's headers and libraries.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

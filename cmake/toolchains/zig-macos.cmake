# Compile-and-link check for macOS with zig's clang, which brings libc++ and the macOS C library
# headers (no SDK frameworks such as CoreFoundation). scripts/build-macos passes VSM_ZIG_BIN_DIR, a
# directory of wrappers (cc, c++, ar, ranlib call zig for one target; install_name_tool is a stub), and VSM_MACOS_ARCH.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${VSM_MACOS_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VSM_ZIG_BIN_DIR VSM_MACOS_ARCH)

set(CMAKE_C_COMPILER ${VSM_ZIG_BIN_DIR}/cc)
set(CMAKE_CXX_COMPILER ${VSM_ZIG_BIN_DIR}/c++)
set(CMAKE_AR ${VSM_ZIG_BIN_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VSM_ZIG_BIN_DIR}/ranlib CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL ${VSM_ZIG_BIN_DIR}/install_name_tool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linux release builds with zig's clang for an older C library (VSM_ZIG_TARGET, e.g.
# aarch64-linux-gnu.2.28): the binary runs on every glibc from that version on, with libc++ inside.
# scripts/release passes VSM_ZIG_BIN_DIR (wrappers of zig for that target) and VSM_LINUX_ARCH.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VSM_LINUX_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VSM_ZIG_BIN_DIR VSM_LINUX_ARCH)

set(CMAKE_C_COMPILER ${VSM_ZIG_BIN_DIR}/cc)
set(CMAKE_CXX_COMPILER ${VSM_ZIG_BIN_DIR}/c++)
set(CMAKE_AR ${VSM_ZIG_BIN_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VSM_ZIG_BIN_DIR}/ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

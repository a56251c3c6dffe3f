# Cross builds with zig's clang, which brings libc++ and the target's C library headers: Linux for an
# older glibc (the binary runs on every glibc from that version on, libc++ inside), and a macOS
# compile check (no SDK frameworks such as CoreFoundation). The scripts pass VSM_ZIG_SYSTEM_NAME
# (Linux or Darwin), VSM_ZIG_ARCH, and VSM_ZIG_BIN_DIR: wrappers that call zig for that one target
# (cc, c++, ar, ranlib; for Darwin also install_name_tool, a stub).
set(CMAKE_SYSTEM_NAME ${VSM_ZIG_SYSTEM_NAME})
set(CMAKE_SYSTEM_PROCESSOR ${VSM_ZIG_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VSM_ZIG_BIN_DIR VSM_ZIG_SYSTEM_NAME VSM_ZIG_ARCH)

set(CMAKE_C_COMPILER ${VSM_ZIG_BIN_DIR}/cc)
set(CMAKE_CXX_COMPILER ${VSM_ZIG_BIN_DIR}/c++)
set(CMAKE_AR ${VSM_ZIG_BIN_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VSM_ZIG_BIN_DIR}/ranlib CACHE FILEPATH "")
if(VSM_ZIG_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_INSTALL_NAME_TOOL ${VSM_ZIG_BIN_DIR}/install_name_tool CACHE FILEPATH "")
  # CMake asks the build machine's macOS whether @rpath works; with none to ask it names a dylib by
  # its path in the build tree, which no user has and which makes each build differ.
  set(CMAKE_INSTALL_NAME_DIR @rpath)
  set(CMAKE_BUILD_WITH_INSTALL_NAME_DIR ON)
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

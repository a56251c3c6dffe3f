# Cross builds take the header-only libraries from VSM_HEADER_ONLY_DEPS, a directory of links to
# the build machine's nlohmann, CLI, spdlog and fmt header folders (never the whole /usr/include:
# its C library headers belong to another system). fmt and spdlog are used header-only.
foreach(target IN ITEMS nlohmann_json::nlohmann_json CLI11::CLI11 fmt::fmt spdlog::spdlog)
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VSM_HEADER_ONLY_DEPS})
endforeach()
set_target_properties(fmt::fmt PROPERTIES INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)

# libplist has no header-only form: built here from its sources (VSM_LIBPLIST_SOURCE_DIR).
if(VSM_WITH_LAUNCHD)
  if(NOT VSM_LIBPLIST_SOURCE_DIR)
    message(FATAL_ERROR "VSM_WITH_LAUNCHD in a cross build needs VSM_LIBPLIST_SOURCE_DIR (libplist's sources)")
  endif()
  include(${CMAKE_CURRENT_LIST_DIR}/Libplist.cmake)
endif()

# The systemd backend needs only sd-bus's header (a `systemd` link in VSM_HEADER_ONLY_DEPS):
# libsystemd itself is opened at run time.
if(VSM_WITH_SYSTEMD)
  add_library(PkgConfig::LIBSYSTEMD INTERFACE IMPORTED)
  set_target_properties(PkgConfig::LIBSYSTEMD PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VSM_HEADER_ONLY_DEPS})
endif()

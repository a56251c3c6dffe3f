# Every dependency is a system package (Debian, Homebrew or vcpkg); see scripts/deps.
find_package(nlohmann_json 3.10 CONFIG REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
find_package(fmt CONFIG REQUIRED)
find_package(spdlog CONFIG REQUIRED)
if(VSM_WITH_LAUNCHD)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBPLIST REQUIRED IMPORTED_TARGET libplist-2.0)
endif()

// The version of the macOS app bundle that holds a runner: a lexical walk up to the ".app"
// directory, then `plutil` on its Info.plist. Every expected failure is an absent version; an
// Info.plist that cannot even be looked at is no expected failure.
#include <chrono>
#include <system_error>

#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::cli::_runnerops {
namespace fs = std::filesystem;
namespace {

constexpr auto PLUTIL_TIMEOUT = std::chrono::seconds(10);

std::string_view strip(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

std::optional<fs::path> bundle_root_for(const fs::path& runner_executable) {
    // extension() gives no suffix to a name made only of a leading dot and a word, so ".app" alone
    // is not a bundle, as it should not be.
    for (fs::path candidate = runner_executable; candidate != candidate.parent_path();
         candidate = candidate.parent_path()) {
        if (candidate.filename().extension() == ".app") return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> read_cfbundle_version(const fs::path& bundle_path) {
    const fs::path plist = bundle_path / "Contents" / "Info.plist";
    if (!platform::files::exists(plist)) return std::nullopt;
    platform::process::Captured result;
    try {
        result = platform::process::run_captured(
            {"plutil", "-extract", "CFBundleVersion", "raw", "-o", "-", platform::to_text(plist)}, PLUTIL_TIMEOUT);
    } catch (const platform::process::StartError& error) {
        // No plutil on this system means no version; a plutil we may not run is a real problem.
        if (error.not_found()) return std::nullopt;
        throw;
    }
    if (result.timed_out || result.exit_code != 0) return std::nullopt;
    const auto version = strip(result.out);
    if (version.empty()) return std::nullopt;
    return std::string(version);
}

std::optional<fs::path> owned_bundle_for(const fs::path& runner_executable) {
    const fs::path macos = runner_executable.parent_path();
    const fs::path contents = macos.parent_path();
    if (runner_executable.filename() != "vetra_service_runner" || macos.filename() != "MacOS" ||
        contents.filename() != "Contents" || bundle_root_for(runner_executable) != contents.parent_path()) {
        return std::nullopt;
    }
    std::error_code ec;
    if (!fs::is_regular_file(contents / "Info.plist", ec)) return std::nullopt;
    return contents.parent_path();
}

std::optional<std::string> bundle_version_for_runner(const fs::path& runner_executable) {
    const auto bundle = bundle_root_for(runner_executable);
    if (!bundle) return std::nullopt;
    return read_cfbundle_version(*bundle);
}

}  // namespace vetra_service_manager::cli::_runnerops

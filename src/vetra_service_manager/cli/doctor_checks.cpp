#include "vetra_service_manager/cli/doctor_checks.hpp"

#include <chrono>
#include <system_error>

#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/cli/_log_reader.hpp"
#include "vetra_service_manager/cli/_trust.hpp"
#include "vetra_service_manager/config.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/user_lock_probe.hpp"

namespace vetra_service_manager::cli::doctor_checks {
namespace fs = std::filesystem;
using diagnosis::Level;

namespace {

// The lines of a log that `doctor` shows: enough to see the last error, short enough to read.
constexpr int OUTPUT_LINES = 10;

const char* const INSTALL_AGAIN = "put the runner there, then run `vetra_service_manager install`";

}  // namespace

diagnosis::Finding runner(const fs::path& path) {
    const std::string shown = platform::to_text(path);
    std::error_code error;
    const auto state = fs::status(path, error);
    if (!fs::exists(state)) return {"runner", std::nullopt, Level::PROBLEM, "the runner " + shown + " is missing", INSTALL_AGAIN};
    if (!fs::is_regular_file(state)) {
        return {"runner", std::nullopt, Level::PROBLEM, "the runner " + shown + " is not a regular file", INSTALL_AGAIN};
    }
    if (platform::system() != platform::System::windows && (state.permissions() & fs::perms::owner_exec) == fs::perms::none) {
        return {"runner", std::nullopt, Level::PROBLEM, "the runner " + shown + " is not executable",
                "chmod u+x " + diagnosis::shell_word(shown)};
    }
    return {"runner", std::nullopt, Level::OK, "the runner " + shown + " is in place", std::nullopt};
}

diagnosis::Findings places(const backends::factory::Command& command) {
    const auto refusal = _trust::first_untrusted_place(command);
    if (!refusal) return {};
    return {{"places", std::nullopt, Level::PROBLEM, *refusal + " (another user could put their program in its place)",
             "make every directory on that path yours or root's and writable by you alone (`chmod go-w <directory>`), "
             "then run `vetra_service_manager install`"}};
}

diagnosis::Findings version(const services::registry::ServiceHandle& service) {
    const auto recorded = service.version();
    const version::Version today(config::package_version());
    if (!recorded || *recorded == today) return {};
    const std::string& name = service.backend().service_name();
    return {{"version", name, Level::WARNING,
             name + " is installed with version " + recorded->str() + ", not " + today.str() +
                 ": install keeps an installed service as it is",
             "vetra_service_manager uninstall --keep-binary --keep-cache && vetra_service_manager install --version " +
                 today.str()}};
}

diagnosis::Findings last_output(const services::registry::ServiceHandle& service) {
    diagnosis::Findings found;
    for (const auto& file : service.backend().log_files()) {
        _log_reader::LogReader reader(file.path);
        if (!reader.exists()) continue;
        const std::string lines = diagnosis::last_lines(reader.last_lines(OUTPUT_LINES), OUTPUT_LINES);
        if (lines.empty()) continue;
        found.push_back({"output", service.backend().service_name(), Level::OK,
                         "its last lines in " + platform::to_text(file.path) + ":\n" + lines, std::nullopt});
    }
    return found;
}

diagnosis::Finding lock() {
    const auto path = _exclusive::lock_path();
    const auto held = platform::user_lock::holding(path);
    if (!held) return {"lock", std::nullopt, Level::OK, "no other command holds the lock", std::nullopt};
    using namespace std::chrono;
    const auto since = system_clock::now() - duration_cast<system_clock::duration>(fs::file_time_type::clock::now() - held->since);
    const std::string who = held->holder ? "process " + std::to_string(*held->holder) : "another process";
    return {"lock", std::nullopt, Level::WARNING,
            who + " has held the lock " + platform::to_text(path) + " since " + diagnosis::moment(since) +
                ": install, uninstall, start, stop and restart wait for it",
            "let that command finish"};
}

}  // namespace vetra_service_manager::cli::doctor_checks

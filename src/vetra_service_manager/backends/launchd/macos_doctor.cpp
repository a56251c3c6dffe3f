// What `doctor` finds on macOS: how launchd shows an agent that does not run, logs that have grown
// past the size trimmed at the next launch, no GUI session, and Full Disk Access.
#include <fmt/format.h>

#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/backends/launchd/plist.hpp"
#include "vetra_service_manager/permissions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::launchd::macos {
using diagnosis::Level;

diagnosis::Findings MacOSServiceManager::diagnose() const {
    diagnosis::Findings found = ServiceManagerBackend::diagnose();
    const std::string& name = service_name();
    for (const auto& file : log_files()) {
        std::error_code error;
        const auto size = std::filesystem::file_size(file.path, error);
        if (error || size <= LOG_SIZE_LIMIT_BYTES) continue;
        found.push_back({"log size", name, Level::WARNING,
                         fmt::format("{} holds {} MiB, more than the {} MiB trimmed at the agent's next launch",
                                     platform::to_text(file.path), size >> 20, LOG_SIZE_LIMIT_BYTES >> 20),
                         "vetra_service_manager restart " + name});
    }
    std::string description;
    if (!platform::files::exists(plist_path()) || agent_running(&description) || description.empty()) return found;
    const std::string state = print_field(description, "state");
    const std::string exit_code = print_field(description, "last exit code");
    // "(never exited)" until its process has ended once.
    const bool exited = !exit_code.empty() && !exit_code.starts_with("(");
    if (state == "spawn scheduled" && exited) {
        // launchd says when it launched the agent last nowhere; the property list says how long
        // it waits between launches at most.
        std::string when = "only after a pause";
        try {
            if (const auto content = platform::files::read_file(plist_path())) {
                const auto interval = plist::Dict::parse(*content).get_integer("ThrottleInterval");
                when = fmt::format("within {} s of its last launch (its ThrottleInterval)", interval.value_or(10));
            }
        } catch (const std::exception&) {
        }
        found.push_back({"throttled", name, Level::PROBLEM,
                         fmt::format("launchd throttles {} after quick exits (last exit code {}): it launches it again {}",
                                     name, exit_code, when),
                         "vetra_service_manager logs " + name});
    } else {
        found.push_back({"last run", name, Level::OK,
                         fmt::format("launchd shows state \"{}\"{}", state, exited ? ", last exit code " + exit_code : ""),
                         std::nullopt});
    }
    return found;
}

diagnosis::Findings MacOSServiceManager::diagnose_session() const {
    diagnosis::Findings found;
    if (launchctl({"print", domain_target()}).exit_code != 0) {
        found.push_back({"gui session", std::nullopt, Level::PROBLEM,
                         "there is no GUI session (no launchd domain " + domain_target() +
                             "): agents cannot run until you log in",
                         "log in at the Mac's login window (or through Screen Sharing)"});
    } else {
        found.push_back({"gui session", std::nullopt, Level::OK, "launchd has the GUI domain " + domain_target(),
                         std::nullopt});
    }
    if (check_full_disk_access()) {
        found.push_back({"full disk access", std::nullopt, Level::OK, "Full Disk Access is granted", std::nullopt});
    } else {
        found.push_back({"full disk access", std::nullopt, Level::WARNING,
                         "Full Disk Access is denied: the sync agent cannot read protected folders",
                         std::string("open '") + permissions::FDA_SETTINGS_URL + "'"});
    }
    return found;
}

}  // namespace vetra_service_manager::backends::launchd::macos

#pragma once
// Picks the backend of the running platform, and makes what the backends of one command share.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::factory {

// One command's backends. Each made here shares with the others what its platform lets them
// share (systemd: the connection and the survey of the command's units; Task Scheduler: the
// connection; launchd: the disabled list of a command that only reads), and holds it for as long
// as it lives. Keep one for the whole command.
class Command {
public:
    // `service_names`: every service the command may ask about.
    explicit Command(std::vector<std::string> service_names, base::Readings readings = base::Readings::FRESH);
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // The running platform's backend; one that reports nothing installed and refuses to install
    // where this build has none.
    std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                              const std::filesystem::path& app_dir) const;

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

}  // namespace vetra_service_manager::backends::factory

#include "vetra_service_manager/cli/_install_notes.hpp"

#include "vetra_service_manager/logging.hpp"

namespace vetra_service_manager::cli::_install_notes {
namespace registry = services::registry;

std::optional<std::string> kept_version(const registry::ServiceHandle& service, const version::Version& asked) {
    std::optional<version::Version> installed;
    try {
        installed = service.version();
    } catch (const std::exception& error) {
        // An unreadable version is status's and doctor's to report; install goes on as it always did.
        logging::get_logger("vetra_service_manager.cli.install")->debug("{}", error.what());
        return std::nullopt;
    }
    if (!installed || *installed == asked) return std::nullopt;
    return "    ! " + service.backend().service_name() + " stays at version " + installed->str() +
           ": install keeps an installed service as it is (see Upgrading in the README)";
}

std::vector<std::string> session_warnings(const backends::factory::Command& command) {
    std::vector<std::string> lines;
    try {
        const auto service = registry::install_order.front()->get_service(command);
        for (const auto& finding : service.backend().install_warnings()) {
            lines.push_back("Warning: " + finding.fact + (finding.fix ? "; fix: " + *finding.fix : ""));
        }
    } catch (const std::exception& error) {
        logging::get_logger("vetra_service_manager.cli.install")->debug("{}", error.what());
    }
    return lines;
}

}  // namespace vetra_service_manager::cli::_install_notes

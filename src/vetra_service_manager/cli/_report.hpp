#pragma once
// One line per service, in the order a command took them, for the commands that start services
// (install, start, restart): a line that tells of a start is said once that start has settled,
// while the next service is already being started, so that their settling times run together.
#include <exception>
#include <string>
#include <vector>

#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::_report {

class Report {
public:
    // `line` is said once every line before it was said and the start `service` left to settle, if
    // any, has settled: at once when nothing waits.
    void add(services::registry::ServiceHandle service, std::string line);
    // Settles what still waits and says the lines, in order. A service that did not stay up gets
    // no line; once every service had its turn, the first such failure is raised, else `stopped`
    // (what ended the command's walk through its services early), if any.
    void finish(std::exception_ptr stopped = nullptr);

private:
    struct Entry {
        services::registry::ServiceHandle service;
        std::string line;
    };
    std::vector<Entry> waiting_;
};

}  // namespace vetra_service_manager::cli::_report

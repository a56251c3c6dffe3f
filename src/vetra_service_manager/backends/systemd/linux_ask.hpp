#pragma once
// A call to the user manager made on behalf of one operation of the systemd backend; shared by its
// install and lifecycle files.
#include <functional>
#include <string>

#include "vetra_service_manager/exceptions.hpp"

namespace spdlog {
class logger;
}

namespace vetra_service_manager::backends::systemd::linux {

// Runs `action`, which calls the manager. A refusal (a linux_bus::CallError) is logged as an error
// and becomes a ServiceOperationError for `operation`, "<failure>: <the manager's reason>", quoting
// the reason in full: the bus error itself adds nothing to chain.
void ask(spdlog::logger& logger, ServiceOperation operation, const std::string& failure,
         const std::function<void()>& action);

}  // namespace vetra_service_manager::backends::systemd::linux

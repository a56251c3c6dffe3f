#include "vetra_service_manager/cli/_exclusive.hpp"

#include <iostream>
#include <stdexcept>
#include <string>

#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/services/_paths.hpp"

namespace vetra_service_manager::cli::_exclusive {
namespace {

std::string who(const std::optional<long>& holder) {
    return holder ? " (process " + std::to_string(*holder) + ")" : "";
}

}  // namespace

std::unique_ptr<platform::user_lock::Lock> hold() {
    const auto path = services::_paths::get_service_dir() / "vetra_service_manager.lock";
    try {
        return platform::user_lock::acquire(
            path, std::chrono::seconds(WAIT_SECONDS),
            [](std::optional<long> holder) {
                std::cerr << "Waiting for another vetra_service_manager command" << who(holder) << " to finish..."
                          << std::endl;
            },
            platform::interrupts::check);
    } catch (const platform::user_lock::Busy& busy) {
        throw std::runtime_error("another vetra_service_manager command" + who(busy.holder()) +
                                 " is still running after " + std::to_string(WAIT_SECONDS) +
                                 " s; try again once it has finished");
    }
}

}  // namespace vetra_service_manager::cli::_exclusive

#pragma once
// The findings of `doctor` that are the same on every platform: the runner, a definition left by
// an older install, a stopped service's log files, the lock.
#include <filesystem>

#include "vetra_service_manager/diagnosis.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vetra_service_manager::cli::doctor_checks {

// Missing, not a regular file, or not executable.
diagnosis::Finding runner(const std::filesystem::path& path);
// What the services run and where they are written, as install checks it: one problem naming the
// first place another user may change, or nothing.
diagnosis::Findings places(const backends::factory::Command& command);
// A definition that records another version than `install` writes by default; nothing when it
// records the same one or none.
diagnosis::Findings version(const services::registry::ServiceHandle& service);
// The last lines of each of the service's log files that has any.
diagnosis::Findings last_output(const services::registry::ServiceHandle& service);
// Held, by which process, since when; read without taking it.
diagnosis::Finding lock();

}  // namespace vetra_service_manager::cli::doctor_checks

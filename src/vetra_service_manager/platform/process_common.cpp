#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::platform::process {

StartError::StartError(std::error_code code, const std::string& program, const std::string& detail)
    : std::runtime_error("Cannot start " + program + ": " + (detail.empty() ? code.message() : detail)),
      code_(code) {}

bool StartError::not_found() const noexcept {
    return code_ == std::errc::no_such_file_or_directory || code_ == std::errc::not_a_directory;
}

}  // namespace vetra_service_manager::platform::process

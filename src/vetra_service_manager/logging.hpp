#pragma once
// One named logger per module ("vetra_service_manager.permissions", ...), all writing to standard
// error: standard output carries command output only.
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

namespace vetra_service_manager::logging {

// The logger of the module with this dotted name; created on first use.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

// Accepts "debug", "info", "warning", "error" (any case). Throws std::invalid_argument otherwise.
void set_level(std::string_view level);

// Extra destinations beside standard error (tests capture log lines with this).
void add_sink(spdlog::sink_ptr sink);
void remove_sink(const spdlog::sink_ptr& sink);

}  // namespace vetra_service_manager::logging

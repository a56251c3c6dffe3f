#pragma once
// Picks the backend of the running platform for one service.
#include <filesystem>
#include <memory>
#include <string>

#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                          const std::filesystem::path& app_dir);

}  // namespace vetra_service_manager::backends::factory

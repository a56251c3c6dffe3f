#pragma once
// Picks the backend of the running platform for one service.
#include <filesystem>
#include <memory>
#include <string>

#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::factory {

// The running platform's backend; one that reports nothing installed and refuses to install where
// this build has none.
std::unique_ptr<base::ServiceManagerBackend> make_backend(const std::string& service_name,
                                                          const std::filesystem::path& app_dir);

// One per backend, each defined in factory_<backend>_on.cpp or, in builds without that backend,
// factory_<backend>_off.cpp, which returns nullptr.
std::unique_ptr<base::ServiceManagerBackend> make_launchd_backend(const std::string& service_name,
                                                                  const std::filesystem::path& app_dir);
std::unique_ptr<base::ServiceManagerBackend> make_systemd_backend(const std::string& service_name,
                                                                  const std::filesystem::path& app_dir);
std::unique_ptr<base::ServiceManagerBackend> make_task_scheduler_backend(const std::string& service_name,
                                                                         const std::filesystem::path& app_dir);

}  // namespace vetra_service_manager::backends::factory

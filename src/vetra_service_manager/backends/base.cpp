#include "vetra_service_manager/backends/base.hpp"

namespace vetra_service_manager::backends::base {

ServiceManagerBackend::ServiceManagerBackend(std::string service_name, std::filesystem::path app_dir,
                                             std::shared_ptr<spdlog::logger> logger)
    : service_name_(std::move(service_name)), app_dir_(std::move(app_dir)), logger_(std::move(logger)) {}

}  // namespace vetra_service_manager::backends::base

// Builds without this backend.
#include "vetra_service_manager/backends/factory.hpp"

namespace vetra_service_manager::backends::factory {

std::unique_ptr<base::ServiceManagerBackend> make_task_scheduler_backend(const std::string&, const std::filesystem::path&) {
    return nullptr;
}

}  // namespace vetra_service_manager::backends::factory

// The one place that knows which backends this build has (VSM_WITH_… set by the build; the
// product leaves launchd out where it cannot run, the testing binary keeps it for the test seam).
#include "vetra_service_manager/backends/factory.hpp"

#include "vetra_service_manager/backends/unsupported.hpp"
#include "vetra_service_manager/platform/platform.hpp"

#if VSM_WITH_LAUNCHD
#include "vetra_service_manager/backends/launchd/macos.hpp"
#endif
#if VSM_WITH_SYSTEMD
#include "vetra_service_manager/backends/systemd/linux.hpp"
#endif
#if VSM_WITH_TASK_SCHEDULER
#include "vetra_service_manager/backends/task_scheduler/scheduler_com.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/process_table.hpp"
#include "vetra_service_manager/platform/windows_host.hpp"
#endif

namespace vetra_service_manager::backends::factory {

// Each platform's context, made with the first backend that needs it.
struct Command::Shared {
    std::vector<std::string> service_names;
    base::Readings readings;
#if VSM_WITH_LAUNCHD
    std::shared_ptr<launchd::macos::MacOSContext> launchd;
#endif
#if VSM_WITH_SYSTEMD
    std::shared_ptr<systemd::linux_context::LinuxContext> systemd;
#endif
#if VSM_WITH_TASK_SCHEDULER
    std::shared_ptr<task_scheduler::scheduler::TaskScheduler> scheduler;
#endif
};

Command::Command(std::vector<std::string> service_names, base::Readings readings)
    : shared_(std::make_unique<Shared>()) {
    shared_->service_names = std::move(service_names);
    shared_->readings = readings;
}

Command::~Command() = default;

std::unique_ptr<base::ServiceManagerBackend> Command::make_backend(const std::string& service_name,
                                                                   const std::filesystem::path& app_dir) const {
    [[maybe_unused]] Shared& shared = *shared_;
    switch (platform::system()) {
#if VSM_WITH_LAUNCHD
        case platform::System::macos:
            if (!shared.launchd) shared.launchd = std::make_shared<launchd::macos::MacOSContext>(shared.readings);
            return std::make_unique<launchd::macos::MacOSServiceManager>(service_name, app_dir, shared.launchd);
#endif
#if VSM_WITH_SYSTEMD
        case platform::System::linux:
            if (!shared.systemd) {
                shared.systemd =
                    std::make_shared<systemd::linux_context::LinuxContext>(shared.service_names, shared.readings);
            }
            return std::make_unique<systemd::linux::LinuxServiceManager>(service_name, app_dir, shared.systemd);
#endif
#if VSM_WITH_TASK_SCHEDULER
        case platform::System::windows:
            if (!shared.scheduler) shared.scheduler = task_scheduler::scheduler_com::connect();
            return std::make_unique<task_scheduler::windows::WindowsServiceManager>(
                service_name, app_dir, shared.scheduler, platform::process_table::system_table(),
                platform::account::current(), platform::windows_host::system_host());
#endif
        default:
            return std::make_unique<unsupported::UnsupportedServiceManager>(service_name, app_dir);
    }
}

}  // namespace vetra_service_manager::backends::factory

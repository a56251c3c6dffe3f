// The Task Scheduler COM implementation against wine's Task Scheduler, which registers, finds,
// reads back and deletes tasks (running them is not implemented there), and the platform facts
// the Windows backend takes from the system.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "smoke.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler_com.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "vetra_service_manager/platform/account.hpp"
#include "vetra_service_manager/platform/process_table.hpp"

namespace vsm = vetra_service_manager;

SMOKE_CASE("task scheduler: a task from the real definition is registered, found, read back and deleted") {
    const auto account = vsm::platform::account::current();
    CHECK(account.sid.rfind("S-1-", 0) == 0);
    CHECK(account.name.find('\\') != std::string::npos);

    const auto scheduler = vsm::backends::task_scheduler::scheduler_com::connect();
    const std::string name = "vsm_smoke-" + std::to_string(GetCurrentProcessId()) + "-" + account.sid;
    CHECK(!scheduler->find(name).has_value());
    const auto script = smoke::temp_dir("task") / "supervisor.vbs";
    scheduler->register_task(name, vsm::backends::task_scheduler::wintpl::create_scheduled_task_xml(
                                       "vsm_smoke", name, "3.1.4.post2", script, account.name, account.sid));
    const auto task = scheduler->find(name);
    CHECK(task.has_value());
    if (task) {
        CHECK_EQ(vsm::backends::task_scheduler::windows_formats::description_version(task->xml).value_or("none"), "3.1.4.post2");
        CHECK(task->enabled);
        CHECK(!task->running);
    }
    scheduler->remove(name);
    CHECK(!scheduler->find(name).has_value());
}

SMOKE_CASE("process table: a running child is seen and ended, and then no longer seen") {
    const auto table = vsm::platform::process_table::system_table();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::wstring command = L"\"" + smoke::self().wstring() + L"\" child sleep 30000";
    CHECK(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    const auto created = table->creation_time(child.dwProcessId);
    CHECK(created.has_value());
    if (created) {
        CHECK(table->terminate_tree(child.dwProcessId, *created + std::chrono::seconds(1)).empty());
        CHECK(!table->terminate_tree(child.dwProcessId, *created).empty());
    }
    CHECK_EQ(WaitForSingleObject(child.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK(!table->creation_time(child.dwProcessId).has_value());
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// The Windows backend's logic against the in-memory scheduler and a process table the test owns;
// a test plays the supervisor in the scheduler's run hook.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler_memory.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/version.hpp"

namespace {
using namespace std::chrono;
using namespace vetra_service_manager;
using backends::task_scheduler::scheduler::TaskSchedulerError;
using platform::process_table::Instant;
using status::EnablementStatus;
using status::InstallationStatus;
using status::RunningStatus;
namespace fs = std::filesystem;

constexpr const char* SID = "S-1-5-21-1-2-3-1001";
constexpr std::uint32_t PID = 4242;
// 2024-03-31 00:30:00.123456 UTC, the night European summer time began.
const Instant CREATED = sys_days(2024y / March / 31) + 30min + 123456us;

struct FakeProcesses : platform::process_table::ProcessTable {
    std::map<std::uint32_t, Instant>* running;
    std::vector<std::string>* events;
    // Processes that end by themselves at that moment.
    std::map<std::uint32_t, steady_clock::time_point>* ending;
    // The running processes that are script hosts of the supervisor.
    std::vector<std::uint32_t>* hosts;
    FakeProcesses(std::map<std::uint32_t, Instant>* r, std::vector<std::string>* e,
                  std::map<std::uint32_t, steady_clock::time_point>* end, std::vector<std::uint32_t>* h)
        : running(r), events(e), ending(end), hosts(h) {}
    std::optional<Instant> creation_time(std::uint32_t pid) const override {
        if (const auto end = ending->find(pid); end != ending->end() && steady_clock::now() >= end->second) {
            running->erase(pid);
        }
        const auto it = running->find(pid);
        return it == running->end() ? std::nullopt : std::optional(it->second);
    }
    std::vector<platform::process_table::Identity> terminate_tree(std::uint32_t pid, Instant created) override {
        if (creation_time(pid) != created) return {};
        events->push_back("terminate " + std::to_string(pid));
        running->erase(pid);
        return {{pid, created}};
    }
    std::vector<platform::process_table::Identity> script_hosts(const fs::path&) const override {
        std::vector<platform::process_table::Identity> found;
        for (const auto pid : *hosts)
            if (const auto created = creation_time(pid)) found.push_back({pid, *created});
        return found;
    }
};

// UTF-16 LE bytes of a UTF-16 literal.
std::string utf16_bytes(std::u16string_view text) {
    std::string bytes;
    for (char16_t unit : text) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return bytes;
}

class WindowsBackend : public ::testing::Test {
protected:
    WindowsBackend() {
        initial.on_run = [this](const std::string&) {  // the supervisor starts the service
            running[PID] = CREATED;
            vsm_test::write_file(folder / "supervisor.pid", "4242,20240331013000.123456+060\r\n");
        };
        initial.on_end = [this](const std::string&) { events.push_back("end"); };
    }

    backends::task_scheduler::windows::WindowsServiceManager make(seconds start_timeout = 30s) {
        auto owned = std::make_unique<backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler>();
        owned->on_run = initial.on_run;
        owned->on_end = initial.on_end;
        owned->on_remove = initial.on_remove;
        owned->tasks = initial.tasks;
        live = owned.get();
        return {"vetra_api", app_dir, std::move(owned), std::make_unique<FakeProcesses>(&running, &events, &ending, &hosts),
                {"HOST\\jörg", SID}, nullptr, start_timeout};
    }
    void install(backends::task_scheduler::windows::WindowsServiceManager& manager, std::vector<std::string> args = {}) {
        if (args.empty()) args = {runner, "run", "vetra_api"};
        manager.install(args, version::Version("1.4.0rc1"));
    }

    vsm_test::TempDir tmp;
    // Spelled with "." and ".." parts, which the script and the task must not see.
    fs::path app_dir = tmp / "Lökål" / "x" / ".." / "." / "services";
    fs::path folder = tmp / "Lökål" / "services" / "vetra_api";
    std::string runner = (tmp / "Lökål" / "services" / "vetra_service_runner.exe").string();
    // What the next make() starts from: tasks and hooks; `live` is the scheduler of the last one made.
    backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler initial;
    backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler* live = nullptr;
    std::map<std::uint32_t, Instant> running;
    std::map<std::uint32_t, steady_clock::time_point> ending;
    std::vector<std::string> events;
    std::vector<std::uint32_t> hosts;
    std::string task = std::string("vetra_api-") + SID;
};

TEST_F(WindowsBackend, InstallWritesTheScriptRegistersTheTaskAndWaitsForTheService) {
    auto manager = make();
    install(manager);

    ASSERT_EQ(live->tasks.count(task), 1u);
    const std::string& xml = live->tasks[task].xml;
    std::string windows_folder = folder.string();
    std::replace(windows_folder.begin(), windows_folder.end(), '/', '\\');
    EXPECT_THAT(xml, testing::HasSubstr("<URI>\\\\" + task + "</URI>"));
    EXPECT_THAT(xml, testing::HasSubstr("<UserId>HOST\\jörg</UserId>"));
    EXPECT_THAT(xml, testing::HasSubstr("<Arguments>//B //NoLogo \"" + windows_folder + "\\supervisor.vbs\"</Arguments>"));

    const std::string script = vsm_test::read_file(folder / "supervisor.vbs");
    EXPECT_EQ(script.substr(0, 2), "\xFF\xFE");
    EXPECT_THAT(script, testing::HasSubstr(utf16_bytes(u"Option Explicit\r\n")));
    // Every path absolute, normalised, with backslashes; non-ASCII characters as UTF-16.
    std::string prefix = tmp.path().string();
    std::replace(prefix.begin(), prefix.end(), '/', '\\');
    const std::u16string base = std::u16string(prefix.begin(), prefix.end()) + u"\\Lökål\\services";
    EXPECT_THAT(script, testing::HasSubstr(utf16_bytes(u"strPidFile = \"" + base + u"\\vetra_api\\supervisor.pid\"")));
    EXPECT_THAT(script, testing::HasSubstr(utf16_bytes(u"strLogFile = \"" + base + u"\\vetra_api\\supervisor.log\"")));
    EXPECT_THAT(script, testing::HasSubstr(utf16_bytes(u"strWorkDir = \"" + base + u"\"")));
    EXPECT_THAT(script, testing::HasSubstr(utf16_bytes(u" run vetra_api\"\r\n")));
    EXPECT_FALSE(fs::exists(folder / "supervisor.vbs.tmp"));

    const auto status = manager.status();
    EXPECT_EQ(status.installation_status, InstallationStatus::INSTALLED);
    EXPECT_EQ(status.enablement_status, EnablementStatus::ENABLED);
    EXPECT_EQ(status.running_status, RunningStatus::RUNNING);
    EXPECT_EQ(manager.version()->str(), "1.4.0rc1");
    EXPECT_EQ(manager.log_files().at(0).path, folder / "supervisor.log");
}

TEST_F(WindowsBackend, InstallingAgainChangesNothing) {
    auto manager = make();
    install(manager);
    const std::string xml = live->tasks[task].xml;
    manager.install({runner, "other"}, version::Version("9"));
    EXPECT_EQ(live->tasks[task].xml, xml);
    EXPECT_THROW(manager.install({runner}, version::Version("9"), true), exceptions::ServiceAlreadyInstalledError);
}

// A task left behind (disabled, or its service ended since) gives no running service by itself:
// install brings it up, and says so when it cannot.
TEST_F(WindowsBackend, InstallBringsAnInstalledServiceUpOrSaysWhyNot) {
    auto manager = make();
    install(manager);
    const auto run = live->on_run;
    const std::vector<std::tuple<const char*, std::function<void()>, bool>> cases = {
        {"stopped", [&] { manager.stop(); }, true},
        {"disabled", [&] { manager.disable(); }, true},
        {"task cannot run",
         [&] {
             manager.stop();
             live->on_run = [](const std::string&) { throw TaskSchedulerError("Cannot run task: Access is denied"); };
         },
         false},
    };
    for (const auto& [name, arrange, starts] : cases) {
        SCOPED_TRACE(name);
        arrange();
        try {
            install(manager);
            EXPECT_TRUE(starts);
        } catch (const ServiceOperationError& error) {
            EXPECT_FALSE(starts) << error.what();
            EXPECT_EQ(error.operation(), ServiceOperation::START);
        }
        EXPECT_EQ(manager.status(), (status::ServiceStatus{InstallationStatus::INSTALLED, EnablementStatus::ENABLED,
                                                           starts ? RunningStatus::RUNNING : RunningStatus::NOT_RUNNING}));
        live->on_run = run;
    }
}

TEST_F(WindowsBackend, AFailedInstallLeavesNoTaskAndNoScript) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool run_fails;
        ServiceOperation operation;
        const char* message;
    };
    for (const auto& c : std::vector<Case>{
             {"task cannot run", {}, true, ServiceOperation::START,
              "Failed to start the service: Cannot run task: Not implemented (0x80004001)"},
             {"percent sign", {"C:\\runner.exe", "--home", "%APPDATA%"}, false, ServiceOperation::INSTALL,
              "The service's command line cannot contain '%' (Windows Script Host would expand it as an environment "
              "variable): C:\\runner.exe --home %APPDATA%"},
         }) {
        if (c.run_fails) initial.on_run = [](const std::string&) { throw TaskSchedulerError("Cannot run task: Not implemented (0x80004001)"); };
        auto manager = make();
        try {
            install(manager, c.args);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const ServiceOperationError& error) {
            EXPECT_EQ(error.operation(), c.operation) << c.name;
            EXPECT_STREQ(error.what(), c.message) << c.name;
        }
        EXPECT_TRUE(live->tasks.empty()) << c.name;
        EXPECT_FALSE(fs::exists(folder)) << c.name;
    }
}

TEST_F(WindowsBackend, AStartWithoutServiceProcessFailsSayingWhy) {
    struct Case {
        const char* name;
        std::function<void()> supervisor;
        std::string reason;
    };
    const std::string log = " (see " + (folder / "supervisor.log").string() + ")";
    for (const auto& c : std::vector<Case>{
             {"supervisor ends at once",
              [&] { live->tasks[task].running = false, live->tasks[task].last_result = 0x80070005; },
              "the supervisor ended with code 0x80070005" + log},
             {"supervisor starts nothing", [] {}, "the supervisor runs but has recorded no service process" + log},
             {"service process ends at once",
              [&] { vsm_test::write_file(folder / "supervisor.pid", "4242,20240331013000.123456+060\r\n"); },
              "the service process 4242 that the supervisor started is not running" + log},
         }) {
        initial.on_run = [&](const std::string&) { c.supervisor(); };
        auto manager = make(1s);
        try {
            install(manager);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const ServiceOperationError& error) {
            EXPECT_EQ(error.operation(), ServiceOperation::START) << c.name;
            EXPECT_EQ(error.what(), "Failed to start the service: no service process after 1s; " + c.reason) << c.name;
        }
        EXPECT_TRUE(live->tasks.empty()) << c.name;
        EXPECT_FALSE(fs::exists(folder)) << c.name;
    }
}

// The supervisor started it, and it ran for a moment: only its staying up makes it started. The
// failed install removes what it wrote.
TEST_F(WindowsBackend, AServiceProcessThatEndsSoonAfterItsStartIsNoStartedService) {
    const auto start = initial.on_run;
    initial.on_run = [&](const std::string& name) {
        start(name);
        ending[PID] = steady_clock::now() + 300ms;
    };
    auto manager = make();
    try {
        install(manager);
        ADD_FAILURE() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_EQ(error.operation(), ServiceOperation::START);
        EXPECT_THAT(error.what(), testing::HasSubstr("the service process 4242 that the supervisor started has ended"));
    }
    EXPECT_TRUE(live->tasks.empty());
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(WindowsBackend, AFailedInstallKeepsTheScriptOfATaskItCouldNotDelete) {
    initial.on_run = [](const std::string&) { throw TaskSchedulerError("Cannot run task: Not implemented (0x80004001)"); };
    initial.on_remove = [](const std::string&) { throw TaskSchedulerError("Cannot delete task: Access is denied (0x80070005)"); };
    auto manager = make();
    try {
        install(manager);
        ADD_FAILURE() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_NE(std::string(error.what()).find("could not be deleted, so it and its script"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(live->tasks.count(task), 1u);
    EXPECT_TRUE(fs::exists(folder / "supervisor.vbs"));
}

TEST_F(WindowsBackend, StatusTellsTheRecordedServiceProcessFromAReusedId) {
    struct Case {
        const char* pid_file;  // nullptr: none
        bool alive;
        RunningStatus expected;
    };
    for (const auto& c : std::vector<Case>{
             {nullptr, true, RunningStatus::NOT_RUNNING},
             {"4242,20240331013000.123456+060\r\n", true, RunningStatus::RUNNING},
             // The same instant after the clocks went forward: not a different process.
             {"4242,20240331023000.123456+120", true, RunningStatus::RUNNING},
             {"4242,20240330193000.123456-300", true, RunningStatus::RUNNING},
             {"4242,20240331013000.123456+060", false, RunningStatus::NOT_RUNNING},
             {"4242,20240331013001.123456+060", true, RunningStatus::NOT_RUNNING},
             {"4242", true, RunningStatus::NOT_RUNNING},
             {"garbage", true, RunningStatus::NOT_RUNNING},
         }) {
        initial.tasks[task] = {};
        initial.tasks[task].xml = "<Task />";
        fs::remove_all(folder);
        if (c.pid_file) vsm_test::write_file(folder / "supervisor.pid", c.pid_file);
        running.clear();
        if (c.alive) running[PID] = CREATED;
        const auto status = make().status();
        EXPECT_EQ(status.installation_status, InstallationStatus::INSTALLED);
        EXPECT_EQ(status.enablement_status, EnablementStatus::DISABLED);
        EXPECT_EQ(status.running_status, c.expected) << (c.pid_file ? c.pid_file : "no PID file");
    }
    initial.tasks.clear();
    const auto status = make().status();
    EXPECT_EQ(status.installation_status, InstallationStatus::NOT_INSTALLED);
    EXPECT_EQ(status.running_status, RunningStatus::NOT_RUNNING);
}

TEST_F(WindowsBackend, StopEndsTheServiceProcessBeforeTheSupervisor) {
    auto manager = make();
    install(manager);
    manager.stop();
    EXPECT_EQ(events, (std::vector<std::string>{"terminate 4242", "end"}));
    EXPECT_EQ(manager.status().running_status, RunningStatus::NOT_RUNNING);
    EXPECT_THROW(manager.stop(true), exceptions::ServiceAlreadyStoppedError);

    // A reused ID is never killed; the supervisor still is ended.
    events.clear();
    live->tasks[task].running = true;
    running[PID] = CREATED + 1s;
    manager.stop();
    EXPECT_EQ(events, std::vector<std::string>{"end"});

    // Between two starts of the service process only the supervisor knows the new one: it goes
    // first, with its children.
    events.clear();
    live->tasks[task].running = true;
    live->tasks[task].instance_pid = 77;
    running[77] = CREATED - 1h;
    manager.stop();
    EXPECT_EQ(events, (std::vector<std::string>{"terminate 77", "end"}));
}

// Between two runs of the service process the supervisor holds the task's one instance: a start
// then replaces that supervisor rather than waiting for a service process that cannot come.
TEST_F(WindowsBackend, StartDuringTheSupervisorsThrottleStartsTheServiceAtOnce) {
    auto manager = make(1s);
    install(manager);
    running.erase(PID);
    fs::remove(folder / "supervisor.pid");
    ASSERT_EQ(manager.status().running_status, RunningStatus::RESTARTING);
    manager.start();
    EXPECT_EQ(manager.status().running_status, RunningStatus::RUNNING);
}

// A task deleted by hand leaves its supervisor and service process running: stop and uninstall
// still end them, never a process that took the recorded ID since, and uninstall removes the folder.
TEST_F(WindowsBackend, WhatATaskDeletedByHandLeftRunningIsStillEnded) {
    for (const bool uninstall : {false, true}) {
        for (const bool reused : {false, true}) {
            SCOPED_TRACE(testing::Message() << (uninstall ? "uninstall" : "stop") << (reused ? ", ID reused" : ""));
            auto manager = make();
            install(manager);
            running[77] = CREATED - 1s;  // the supervisor
            hosts = {77};
            if (reused) running[PID] = CREATED + 1s;
            live->tasks.erase(task);
            events.clear();
            if (uninstall) {
                manager.uninstall();
            } else {
                manager.stop();
            }
            const std::vector<std::string> ended = reused ? std::vector<std::string>{"terminate 77"}
                                                          : std::vector<std::string>{"terminate 4242", "terminate 77"};
            EXPECT_EQ(events, ended);
            EXPECT_EQ(running.count(PID), reused ? 1u : 0u);
            EXPECT_EQ(fs::exists(folder), !uninstall);
            running.clear();
        }
    }
}

TEST_F(WindowsBackend, DisableStopsFirstAndUninstallRemovesEverything) {
    auto manager = make();
    install(manager);
    manager.disable();
    EXPECT_EQ(events, (std::vector<std::string>{"terminate 4242", "end"}));
    EXPECT_FALSE(live->tasks[task].enabled);
    manager.enable();
    EXPECT_TRUE(live->tasks[task].enabled);

    manager.uninstall();
    EXPECT_TRUE(live->tasks.empty());
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_THROW(manager.enable(), exceptions::ServiceNotInstalledError);
    EXPECT_THROW(manager.uninstall(true), exceptions::ServiceNotInstalledError);
    EXPECT_EQ(manager.version(), std::nullopt);

    initial.tasks[task] = {};
    initial.tasks[task].xml = "<Task />";
    initial.tasks[task].enabled = true;
    try {
        make().version();
        ADD_FAILURE() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_STREQ(error.what(), "Failed to read version from task: version line missing");
    }
}

TEST(WindowsFormats, VersionLineAsTaskSchedulerGivesTheDescriptionBack) {
    using backends::task_scheduler::windows_formats::description_version;
    EXPECT_EQ(description_version("<Task><RegistrationInfo><Description>Service a&amp;b&#xD;&#xA;version=2.0&#13;&#10;"
                                  "user=x</Description></RegistrationInfo></Task>"),
              "2.0");
    EXPECT_EQ(description_version("<Description>Service a\nuser=x</Description>"), std::nullopt);
}

TEST(WindowsFormats, Utf16CarriesCharactersBeyondTheBasicPlane) {
    using backends::task_scheduler::windows_formats::utf16le_with_bom;
    EXPECT_EQ(utf16le_with_bom("aé😀"), "\xFF\xFE" + utf16_bytes(u"aé😀"));
    EXPECT_THROW(utf16le_with_bom("\xC3"), std::invalid_argument);
}

}  // namespace

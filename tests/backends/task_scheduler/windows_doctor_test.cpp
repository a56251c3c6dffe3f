// doctor's Windows findings against the in-memory scheduler: the task's last run result in words
// and time, a PID file that names a process that has ended or is another program's, and what keeps
// the supervisor from running at all.
#include <gtest/gtest.h>

#include <map>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler_memory.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"

namespace {
using namespace std::chrono;
using namespace vetra_service_manager;
using platform::process_table::Instant;
namespace fs = std::filesystem;

struct Table : platform::process_table::ProcessTable {
    std::map<std::uint32_t, Instant> alive;
    std::optional<Instant> creation_time(std::uint32_t pid) const override {
        const auto it = alive.find(pid);
        return it == alive.end() ? std::nullopt : std::optional(it->second);
    }
    std::vector<platform::process_table::Identity> terminate_tree(std::uint32_t, Instant) override { return {}; }
    std::vector<platform::process_table::Identity> script_hosts(const std::filesystem::path&) const override {
        return {};
    }
};

struct Host : platform::windows_host::Host {
    platform::windows_host::ScriptHost host = platform::windows_host::ScriptHost::ENABLED;
    bool vbscript = true, logged_on = true;
    platform::windows_host::ScriptHost script_host() const override { return host; }
    bool vbscript_available() const override { return vbscript; }
    bool logged_on_interactively(const std::string& account) const override {
        EXPECT_EQ(account, "HOST\\ana");
        return logged_on;
    }
};

backends::task_scheduler::windows::WindowsServiceManager manager_of(
    const fs::path& app_dir, std::shared_ptr<backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler> scheduler,
    std::unique_ptr<Table> table, std::shared_ptr<const Host> host = std::make_shared<Host>()) {
    return {"vetra_api", app_dir, std::move(scheduler), std::move(table), {"HOST\\ana", "S-1-5-21-1-2-3-1001"}, host};
}

TEST(WindowsDoctor, LastRunAndStalePidFileAreNamed) {
    vsm_test::TempDir tmp;
    const Instant recorded = sys_days(2024y / March / 31) + 30min + 123456us;
    struct Case {
        const char* name;
        std::uint32_t last_result;
        std::optional<Instant> process_4242;  // the process running under the recorded ID
        std::string check, fact;
    };
    const Case cases[] = {
        {"never run", 0x00041303, std::nullopt, "last run", ": it has not run yet"},
        {"refused", 0x800710E0, std::nullopt, "last run",
         "the operator or administrator refused the run (it last started at 2024-03-31 00:30:00 UTC)"},
        {"supervisor failed", 0x80070001, std::nullopt, "last run",
         "ended with code 0x80070001 (the supervisor ended) (it last started at 2024-03-31 00:30:00 UTC)"},
        {"process gone", 0, std::nullopt, "pid file", "names process 4242, which no longer exists"},
        {"another program's", 0, recorded + 1s, "pid file",
         "names process 4242, which is another program's (created at another time)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto scheduler = std::make_shared<backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler>();
        const std::string task = "vetra_api-S-1-5-21-1-2-3-1001";
        scheduler->tasks[task].xml = "<Task />";
        scheduler->tasks[task].enabled = true;
        scheduler->tasks[task].last_result = c.last_result;
        scheduler->tasks[task].last_run_time = recorded;
        auto table = std::make_unique<Table>();
        if (c.process_4242) table->alive[4242] = *c.process_4242;
        vsm_test::write_file(tmp / "services/vetra_api/supervisor.pid", "4242,20240331013000.123456+060\r\n");
        const auto findings = manager_of(tmp / "services", scheduler, std::move(table)).diagnose();
        const auto found = std::find_if(findings.begin(), findings.end(),
                                        [&](const diagnosis::Finding& f) { return f.check == c.check; });
        ASSERT_NE(found, findings.end());
        EXPECT_TRUE(found->fact.ends_with(c.fact)) << found->fact;
        if (c.check == "pid file") {
            EXPECT_EQ(found->fix, "vetra_service_manager restart vetra_api");
        }
        // Not running: a problem, with the command that starts it.
        EXPECT_TRUE(std::any_of(findings.begin(), findings.end(), [](const diagnosis::Finding& f) {
            return f.check == "running" && f.level == diagnosis::Level::PROBLEM;
        }));
    }
}

TEST(WindowsDoctor, WhatKeepsTheSupervisorFromRunningIsAProblemWithItsFix) {
    using platform::windows_host::ScriptHost;
    vsm_test::TempDir tmp;
    struct Case {
        const char* name;
        ScriptHost script_host;
        bool vbscript, logged_on;
        std::string check, fact, fix;  // the one problem; none when empty
    };
    const Case cases[] = {
        {"healthy", ScriptHost::ENABLED, true, true, "", "", ""},
        {"script host off for the user", ScriptHost::DISABLED_FOR_USER, true, true, "script host",
         "turned off for your account (Enabled is 0 under HKCU\\Software\\Microsoft\\Windows Script Host\\Settings)",
         "reg delete \"HKCU\\Software\\Microsoft\\Windows Script Host\\Settings\" /v Enabled /f"},
        {"script host off for the machine", ScriptHost::DISABLED_FOR_MACHINE, true, true, "script host",
         "turned off for this machine",
         "as an administrator: reg add \"HKLM\\Software\\Microsoft\\Windows Script Host\\Settings\" /v Enabled /t "
         "REG_DWORD /d 1 /f"},
        {"no VBScript", ScriptHost::ENABLED, false, true, "vbscript", "VBScript is not installed",
         "as an administrator: DISM /Online /Add-Capability /CapabilityName:VBSCRIPT~~~~"},
        {"not logged on", ScriptHost::ENABLED, true, false, "logon session",
         "HOST\\ana is not logged on to Windows", "log on at the Windows sign-in screen or over Remote Desktop"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto host = std::make_shared<Host>();
        host->host = c.script_host;
        host->vbscript = c.vbscript;
        host->logged_on = c.logged_on;
        const auto findings =
            manager_of(tmp / "services", std::make_shared<backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler>(),
                       std::make_unique<Table>(), host)
                .diagnose_session();
        ASSERT_EQ(findings.size(), 3u);
        for (const auto& finding : findings) {
            SCOPED_TRACE(finding.fact);
            if (finding.check != c.check) {
                EXPECT_EQ(finding.level, diagnosis::Level::OK);
                continue;
            }
            EXPECT_EQ(finding.level, diagnosis::Level::PROBLEM);
            EXPECT_NE(finding.fact.find(c.fact), std::string::npos);
            EXPECT_EQ(finding.fix, c.fix);
        }
    }
}

}  // namespace

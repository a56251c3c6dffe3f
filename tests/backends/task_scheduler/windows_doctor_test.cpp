// doctor's Windows findings against the in-memory scheduler: the task's last run result in words,
// and a PID file that names a process that has ended or is another program's.
#include <gtest/gtest.h>

#include <map>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/scheduler_memory.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows.hpp"

namespace {
using namespace std::chrono;
using namespace vetra_service_manager;
using platform::process_table::Instant;

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
        {"never run", 0x00041303, std::nullopt, "last run", "it has not run yet"},
        {"refused", 0x800710E0, std::nullopt, "last run", "the operator or administrator refused the run"},
        {"supervisor failed", 0x80070001, std::nullopt, "last run", "ended with code 0x80070001 (the supervisor ended)"},
        {"process gone", 0, std::nullopt, "pid file", "names process 4242, which no longer exists"},
        {"another program's", 0, recorded + 1s, "pid file", "names process 4242, which is another program's"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto scheduler = std::make_shared<backends::task_scheduler::scheduler_memory::InMemoryTaskScheduler>();
        const std::string task = "vetra_api-S-1-5-21-1-2-3-1001";
        scheduler->tasks[task].xml = "<Task />";
        scheduler->tasks[task].enabled = true;
        scheduler->tasks[task].last_result = c.last_result;
        auto table = std::make_unique<Table>();
        if (c.process_4242) table->alive[4242] = *c.process_4242;
        vsm_test::write_file(tmp / "services/vetra_api/supervisor.pid", "4242,20240331013000.123456+060\r\n");
        const backends::task_scheduler::windows::WindowsServiceManager manager(
            "vetra_api", tmp / "services", scheduler, std::move(table), {"HOST\\ana", "S-1-5-21-1-2-3-1001"});
        const auto findings = manager.diagnose();
        const auto found = std::find_if(findings.begin(), findings.end(),
                                        [&](const diagnosis::Finding& f) { return f.check == c.check; });
        ASSERT_NE(found, findings.end());
        EXPECT_NE(found->fact.find(c.fact), std::string::npos) << found->fact;
        if (c.check == "pid file") EXPECT_EQ(found->fix, "vetra_service_manager restart vetra_api");
        // Not running: a problem, with the command that starts it.
        EXPECT_TRUE(std::any_of(findings.begin(), findings.end(), [](const diagnosis::Finding& f) {
            return f.check == "running" && f.level == diagnosis::Level::PROBLEM;
        }));
    }
}

}  // namespace

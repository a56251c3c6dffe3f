// doctor on simulated macOS: each state the launchctl stand-in can put an agent or the session in,
// with the finding and the fix doctor gives for it.
#include <gtest/gtest.h>

#include "e2e/doctor_findings.hpp"
#include "e2e/e2e_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_doctor::finding;
using vsm_test::run_cli;

TEST(DarwinDoctor, EachStateIsNamedWithItsFix) {
    vsm_e2e::World world("Darwin");
    vsm_e2e::World::place_runner(world.runner());
    const fs::path safari = world.home() / "Library/Safari";  // readable: Full Disk Access granted
    fs::create_directories(safari);
    ASSERT_EQ(run_cli({"install"}).exit_code, 0);
    vsm_doctor::expect_healthy(run_cli({"doctor"}));

    const fs::path launchd = world.root() / "launchd";
    const std::string label = "com.norvale.vetra_api";
    const fs::path logs = world.home() / "Library/Application Support/norvale/services/vetra_api_logs";
    struct Case {
        const char* name;
        std::vector<fs::path> files;  // made for the case, removed after it
        std::vector<std::string> contents;
        std::string check, level, fact, fix;
        int exit_code;
    };
    const Case cases[] = {
        {"no GUI session", {launchd / "no-gui"}, {""}, "gui session", "problem", "no GUI session", "log in", 1},
        {"disabled", {launchd / "marks" / label}, {"disabled\n"}, "enabled", "warning", "is disabled",
         "vetra_service_manager start vetra_api", 0},
        {"throttled after quick exits",
         {launchd / "state" / label, launchd / "exited" / label, logs / "err.log"},
         {"spawn scheduled\n", "78\n", "starting\n\x1b[31mbad configuration\n"},
         "throttled", "problem", "last exit code 78): it launches it again within 60 s of its last launch",
         "vetra_service_manager logs vetra_api", 1},
        {"its last lines, escaped",
         {launchd / "state" / label, launchd / "exited" / label, logs / "err.log"},
         {"spawn scheduled\n", "78\n", "starting\n\x1b[31mbad configuration\n"},
         "output", "ok", "err.log:\nstarting\n\\x1b[31mbad configuration", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t i = 0; i < c.files.size(); ++i) vsm_test::write_file(c.files[i], c.contents[i]);
        const auto result = run_cli({"doctor", "--json", "vetra_api"});
        EXPECT_EQ(result.exit_code, c.exit_code) << result.out;
        const auto found = finding(result.out, c.check);
        EXPECT_EQ(found["level"], c.level);
        EXPECT_NE(found["fact"].get<std::string>().find(c.fact), std::string::npos) << found;
        if (!c.fix.empty()) {
            EXPECT_NE(found["fix"].get<std::string>().find(c.fix), std::string::npos) << found;
        }
        for (const auto& file : c.files) fs::remove(file);
    }

    // A log past the size trimmed at the next launch, and Full Disk Access denied: worth knowing.
    fs::resize_file(logs / "out.log", (11u << 20));
    fs::remove(safari);
    const auto result = run_cli({"doctor", "--json"});
    EXPECT_EQ(result.exit_code, 0) << result.out;
    const auto size = finding(result.out, "log size", "vetra_api");
    EXPECT_EQ(size["level"], "warning");
    EXPECT_EQ(size["fix"], "vetra_service_manager restart vetra_api");
    const auto access = finding(result.out, "full disk access");
    EXPECT_EQ(access["level"], "warning");
    EXPECT_EQ(access["fix"], "open 'x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles'");
}

}  // namespace

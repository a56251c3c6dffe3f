#include <algorithm>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::LogCapture;
using vsm_test::ScopedEnv;
using vsm_test::TempDir;

namespace {

const fs::path RUNNER = R"(C:\Users\O'Neil\AppData\Local\norvale\vetra\vetra_service_runner.exe)";
const std::vector<fs::path> DATA_DIRS = {R"(C:\Users\O'Neil\AppData\Local\norvale\vetra)", R"(D:\data)"};
const fs::path LOCK_FILE = R"(C:\Users\O'Neil\AppData\Local\norvale\vetra_service_manager.lock)";

// How PowerShell reads a single-quoted string: it ends at the first of the five single quotation
// marks that is not immediately followed by another one; a doubled pair stands for its second mark.
std::size_t quote_mark_at(const std::string& text, std::size_t at) {
    static const std::string marks[] = {"'", "\u2018", "\u2019", "\u201A", "\u201B"};
    for (const auto& mark : marks) {
        if (text.compare(at, mark.size(), mark) == 0) return mark.size();
    }
    return 0;
}

// A script as PowerShell splits it: its code, with each single-quoted literal replaced by '#<n>',
// and the literals' values.
struct Script {
    std::string code;
    std::vector<std::string> literals;

    // The values `variable` is given: one literal, or an @(...) list of them. Nothing unless it is
    // assigned exactly once.
    std::optional<std::vector<std::string>> assigned(const std::string& variable) const {
        const std::string assignment = variable + "=";
        const auto at = code.find(assignment);
        if (at == std::string::npos || code.find(assignment, at + 1) != std::string::npos) return std::nullopt;
        std::istringstream rest(code.substr(at + assignment.size()));
        const bool list = rest.peek() == '@';
        if (list) rest.ignore(2);
        std::vector<std::string> values;
        for (std::size_t n = 0; rest.peek() == '\'' && rest.ignore(2) >> n && rest.get() == '\'';) {
            values.push_back(literals.at(n));
            if (!list || rest.peek() != ',') break;
            rest.ignore();
        }
        return values;
    }
    std::size_t find(const std::string& text, std::size_t from = 0) const { return code.find(text, from); }
};

// Fails the test on a literal that is never closed.
Script read_script(const std::string& text) {
    Script script;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t opening = quote_mark_at(text, at);
        if (opening == 0) {
            script.code += text[at++];
            continue;
        }
        std::string value;
        for (at += opening;;) {
            if (at >= text.size()) {
                ADD_FAILURE() << "a literal is never closed: " << text;
                return script;
            }
            const std::size_t first = quote_mark_at(text, at);
            if (first == 0) {
                value += text[at++];
                continue;
            }
            const std::size_t second = quote_mark_at(text, at + first);
            if (second == 0) {
                at += first;
                break;
            }
            value += text.substr(at + first, second);
            at += first + second;
        }
        script.code += "'#" + std::to_string(script.literals.size()) + "'";
        script.literals.push_back(value);
    }
    return script;
}

std::vector<std::string> texts(const std::vector<fs::path>& paths) { return {paths.begin(), paths.end()}; }

// What the helper is for: once it holds the per-user lock (and only then: without it, it leaves one
// line in its own log and does nothing else) it waits until the processes uninstall stopped have
// ended, has the runner remove its environment, then removes the data directories. Each step only
// when asked, in that order, and every path one literal that nothing in it can end.
TEST(WindowsTeardownCommand, TakesTheLockWaitsForTheStoppedProcessesThenTakesTheStepsItIsAsked) {
    using std::chrono::sys_days;
    using namespace std::chrono_literals;
    // 2026-12-10 00:00:00.5 UTC, as FILETIME ticks: 134413344000000000 + 5000000.
    const std::vector<vetra_service_manager::platform::process_table::Identity> stopped = {
        {4242, sys_days(std::chrono::year(2026) / 12 / 10) + 500ms}, {77, sys_days(std::chrono::year(2026) / 12 / 10)}};
    for (const bool self_remove : {true, false}) {
        for (const bool remove_binary : {true, false}) {
            SCOPED_TRACE(testing::Message() << "self_remove=" << self_remove << " remove_binary=" << remove_binary);
            const Script script = read_script(
                ops::_windows_teardown_command(RUNNER, DATA_DIRS, self_remove, remove_binary, LOCK_FILE, stopped));
            // The code itself needs no backslash: one outside the literals is a path that got out.
            EXPECT_EQ(script.code.find('\\'), std::string::npos) << script.code;
            EXPECT_EQ(script.assigned("$exe"), texts({RUNNER}));
            EXPECT_EQ(script.assigned("$lock"), texts({LOCK_FILE}));
            EXPECT_NE(script.find("$procs=@(4242,134413344005000000,77,134413344000000000);"), std::string::npos)
                << script.code;

            // The byte our own commands lock, so that none of them is running while the helper acts.
            const auto lock = script.find("$held.Lock(" +
                                          std::to_string(vetra_service_manager::platform::user_lock::WINDOWS_LOCKED_BYTE));
            const auto refuse = script.find("if(-not $held){Add-Content -LiteralPath (Join-Path ([System.IO.Path]::GetTempPath())");
            const auto given_up = script.find("exit 1}", refuse);
            const auto wait = script.find("Get-Process -Id $procs[$k]");
            const auto run = script.find("Start-Process -FilePath $exe");
            const auto removal = script.find("foreach($d in $dirs)");
            const auto release = script.find("$held.Close()", removal == std::string::npos ? wait : removal);
            ASSERT_NE(lock, std::string::npos) << script.code;
            ASSERT_NE(refuse, std::string::npos) << script.code;
            ASSERT_NE(given_up, std::string::npos) << script.code;
            ASSERT_NE(wait, std::string::npos) << script.code;
            ASSERT_NE(release, std::string::npos) << script.code;
            EXPECT_EQ(run != std::string::npos, self_remove) << script.code;
            EXPECT_EQ(removal != std::string::npos, remove_binary) << script.code;
            std::vector<std::size_t> steps = {lock, refuse, given_up, wait};
            for (const auto step : {run, removal}) {
                if (step != std::string::npos) steps.push_back(step);
            }
            steps.push_back(release);
            EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end())) << script.code;

            if (remove_binary) {
                EXPECT_EQ(script.assigned("$dirs"), texts(DATA_DIRS));
            } else {
                const auto paths = std::count_if(script.literals.begin(), script.literals.end(),
                                                 [](const std::string& literal) { return literal.find('\\') != std::string::npos; });
                EXPECT_EQ(paths, 2) << "a path besides the runner's and the lock's: " << script.code;
            }
        }
    }
}

TEST(WindowsTeardownCommand, NoDataDirectoriesMakesAnEmptyList) {
    const Script script = read_script(ops::_windows_teardown_command(R"(C:\r.exe)", {}, false, true, LOCK_FILE));
    EXPECT_EQ(script.assigned("$dirs"), std::vector<std::string>{});
}

// Paths with "[" or "*" are real names, not patterns; links are removed, not followed: every
// cmdlet that tests or removes a path takes it literally, and none recurses on its own.
TEST(WindowsTeardownCommand, PathsAreLiteralAndNoRemovalFollowsLinks) {
    const std::string script = ops::_windows_teardown_command(RUNNER, DATA_DIRS, true, true, LOCK_FILE);
    for (const std::string cmdlet : {"Test-Path ", "Get-Item ", "Get-ChildItem ", "Remove-Item "}) {
        for (auto at = script.find(cmdlet); at != std::string::npos; at = script.find(cmdlet, at + 1)) {
            EXPECT_EQ(script.compare(at + cmdlet.size(), 12, "-LiteralPath"), 0) << script.substr(at, 40);
        }
    }
    EXPECT_EQ(script.find("-Recurse"), std::string::npos);
}

TEST(PowershellQuote, EveryPathSurvivesAsOneLiteral) {
    const std::string paths[] = {
        R"(C:\Users\O'Neil\AppData)",
        "C:\\Users\\O\u2019Neil\\AppData",
        "C:\\Users\\\u2018x\u2019\u201Ay\u201B\\'",
        "'; Remove-Item -Recurse C:\\ ; '",
        "\u2019; Start-Process calc; \u2019",
        "a''b''''",
        R"(C:\$env:TEMP\$(whoami)\`n)",
        "",
    };
    for (const auto& path : paths) {
        const Script script = read_script("$exe='" + ops::_powershell_quote(path) + "';rest");
        EXPECT_EQ(script.code, "$exe='#0';rest");
        EXPECT_EQ(script.literals, std::vector<std::string>{path});
    }
    EXPECT_EQ(ops::_powershell_quote(R"(C:\Users\O'Neil\AppData)"), R"(C:\Users\O''Neil\AppData)");
    EXPECT_EQ(ops::_powershell_quote("O\u2019Neil"), "O\u2019\u2019Neil");
}

TEST(TeardownHelperCwd, TempThenSystemRootThenDefault) {
    const struct {
        std::optional<std::string> temp, system_root;
        std::string expected;
    } cases[] = {
        {R"(C:\Temp)", R"(C:\Win)", R"(C:\Temp)"},
        {"", R"(C:\Win)", R"(C:\Win)"},
        {std::nullopt, R"(C:\Win)", R"(C:\Win)"},
        {std::nullopt, std::nullopt, R"(C:\Windows)"},
        {"", "", R"(C:\Windows)"},
    };
    for (const auto& c : cases) {
        ScopedEnv temp("TEMP", c.temp);
        ScopedEnv root("SystemRoot", c.system_root);
        EXPECT_EQ(ops::_teardown_helper_cwd().string(), c.expected);
    }
}

// teardown_runner on the Windows path, with a fake powershell.exe first on PATH that records the
// argument vector (its own name first), its working directory and its standard streams.
class WindowsHelperStart : public ::testing::Test {
protected:
    TempDir dir;
    fs::path bin = dir / "bin";
    fs::path temp = dir / "temp";
    fs::path record = dir / "record";
    ScopedEnv platform{"VSM_TEST_PLATFORM", "Windows"};
    ScopedEnv path{"PATH", bin.string() + ":" + vetra_service_manager::platform::env("PATH").value_or("/usr/bin:/bin")};
    ScopedEnv temp_env{"TEMP", temp.string()};
    ScopedEnv local{"LOCALAPPDATA", (dir / "local").string()};

    void SetUp() override {
        fs::create_directories(temp);
        fs::create_directories(record);
        vsm_test::write_script(bin / "powershell.exe", R"sh(#!/bin/bash
rec=')sh" + record.string() + R"sh('
pwd > "$rec/cwd"
readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 > "$rec/streams"
printf '%s\0' "$(basename "$0")" "$@" > "$rec/argv.part"
mv "$rec/argv.part" "$rec/argv"
)sh");
    }
};

TEST_F(WindowsHelperStart, StartsHiddenPowershellWithTheScript) {
    LogCapture logs;
    ops::teardown_runner(RUNNER, DATA_DIRS);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"info vetra_service_manager.cli._runnerops: Scheduled deferred "
                                                     "Windows teardown (self_remove=True, remove_binary=True)"});
    ASSERT_TRUE(wait_for_file(record / "argv"));
    EXPECT_EQ(recorded_args(record / "argv"),
              (std::vector<std::string>{"powershell.exe", "-NoProfile", "-NonInteractive", "-Command",
                                        ops::_windows_teardown_command(RUNNER, DATA_DIRS, true, true,
                                                                       dir / "local/norvale/vetra_service_manager.lock")}));
    EXPECT_EQ(vsm_test::read_file(record / "cwd"), temp.string() + "\n");
    EXPECT_EQ(vsm_test::read_file(record / "streams"), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST_F(WindowsHelperStart, BothFlagsOffStillWaitsForTheRunner) {
    LogCapture logs;
    ops::teardown_runner(RUNNER, DATA_DIRS, false, false);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"info vetra_service_manager.cli._runnerops: Scheduled deferred "
                                                     "Windows teardown (self_remove=False, remove_binary=False)"});
    ASSERT_TRUE(wait_for_file(record / "argv"));
    const auto args = recorded_args(record / "argv");
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[4], ops::_windows_teardown_command(RUNNER, DATA_DIRS, false, false,
                                                      dir / "local/norvale/vetra_service_manager.lock"));
}

TEST_F(WindowsHelperStart, HelperThatCannotStartIsOnlyAWarning) {
    const struct {
        const char* name;
        std::string path_value, temp_value;
    } cases[] = {
        {"no powershell.exe", (dir / "empty").string(), temp.string()},
        {"no working directory", bin.string(), (dir / "missing").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv search("PATH", c.path_value);
        ScopedEnv cwd("TEMP", c.temp_value);
        LogCapture logs;
        EXPECT_NO_THROW(ops::teardown_runner(RUNNER, DATA_DIRS));
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), 1u) << logs.text();
        EXPECT_EQ(lines[0].rfind(warning("Failed to start deferred teardown helper: Cannot start powershell.exe"), 0),
                  0u)
            << lines[0];
    }
    EXPECT_FALSE(fs::exists(record / "argv"));
}

}  // namespace

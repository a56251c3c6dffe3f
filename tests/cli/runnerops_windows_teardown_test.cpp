#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::LogCapture;
using vsm_test::ScopedEnv;
using vsm_test::TempDir;

namespace {

const std::string WAIT =
    "for($i=0;$i -lt 240;$i++){try{$fs=[System.IO.File]::Open($exe,'Open','Read','None');$fs.Close();break}catch{"
    "Start-Sleep -Milliseconds 500}}";
const std::string SELF_REMOVE =
    "if(Test-Path -LiteralPath $exe){try{$p=Start-Process -FilePath $exe -ArgumentList 'self','remove' -WindowStyle Hidden "
    "-PassThru;if(-not $p.WaitForExit(120000)){try{$p.Kill()}catch{}}}catch{}}";
const std::string LOCK =
    R"($lock='C:\Users\O''Neil\AppData\Local\norvale\vetra_service_manager.lock';)"
    "$held=$null;for($i=0;$i -lt 240;$i++){try{$held=[System.IO.File]::Open($lock,'OpenOrCreate','ReadWrite',"
    "'ReadWrite, Delete');$held.Lock(4611686018427387904,1);break}"
    "catch{if($held){$held.Close();$held=$null};Start-Sleep -Milliseconds 500}};";
const std::string REMOVAL =
    "function Remove-Tree($p){$e=Get-Item -LiteralPath $p -Force -ErrorAction Stop;"
    "if($e.Attributes -band [System.IO.FileAttributes]::ReparsePoint){$e.Delete()}"
    "else{if($e.PSIsContainer){Get-ChildItem -LiteralPath $p -Force -ErrorAction Stop|"
    "ForEach-Object{Remove-Tree $_.FullName}}Remove-Item -LiteralPath $p -Force -ErrorAction Stop}};"
    "foreach($d in $dirs){for($i=0;$i -lt 60;$i++){try{Remove-Tree $d;break}"
    "catch [System.Management.Automation.ItemNotFoundException]{break}catch{Start-Sleep -Milliseconds 500}}};"
    "if($held){$held.Close()}";

const fs::path RUNNER = R"(C:\Users\O'Neil\AppData\Local\norvale\vetra\vetra_service_runner.exe)";
const std::vector<fs::path> DATA_DIRS = {R"(C:\Users\O'Neil\AppData\Local\norvale\vetra)", R"(D:\data)"};
const fs::path LOCK_FILE = R"(C:\Users\O'Neil\AppData\Local\norvale\vetra_service_manager.lock)";

TEST(WindowsTeardownCommand, EveryFlagCombination) {
    const std::string exe = R"($exe='C:\Users\O''Neil\AppData\Local\norvale\vetra\vetra_service_runner.exe')";
    const std::string dirs = R"($dirs=@('C:\Users\O''Neil\AppData\Local\norvale\vetra','D:\data'))";
    const struct {
        bool self_remove, remove_binary;
        std::string expected;
    } cases[] = {
        {true, true, exe + ";" + WAIT + ";" + SELF_REMOVE + ";" + dirs + ";" + LOCK + REMOVAL},
        {true, false, exe + ";" + WAIT + ";" + SELF_REMOVE},
        {false, true, exe + ";" + WAIT + ";" + dirs + ";" + LOCK + REMOVAL},
        {false, false, exe + ";" + WAIT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ops::_windows_teardown_command(RUNNER, DATA_DIRS, c.self_remove, c.remove_binary, LOCK_FILE), c.expected)
            << c.self_remove << c.remove_binary;
    }
}

TEST(WindowsTeardownCommand, NoDataDirectoriesMakesAnEmptyList) {
    EXPECT_EQ(ops::_windows_teardown_command(R"(C:\r.exe)", {}, false, true, LOCK_FILE),
              "$exe='C:\\r.exe';" + WAIT + ";$dirs=@();" + LOCK + REMOVAL);
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

// How PowerShell reads a single-quoted string: it ends at the first of the five single quotation
// marks that is not immediately followed by another one; a doubled pair stands for its second mark.
// Returns the literal's value and how many bytes of `script` (starting at its opening mark) it took.
std::pair<std::string, std::size_t> read_single_quoted(const std::string& script) {
    static const std::string marks[] = {"'", "\u2018", "\u2019", "\u201A", "\u201B"};
    auto mark_at = [&](std::size_t at) -> std::size_t {
        for (const auto& mark : marks) {
            if (script.compare(at, mark.size(), mark) == 0) return mark.size();
        }
        return 0;
    };
    std::size_t at = mark_at(0);
    std::string value;
    while (at < script.size()) {
        if (std::size_t first = mark_at(at)) {
            std::size_t second = mark_at(at + first);
            if (second == 0) return {value, at + first};
            value += script.substr(at + first, second);
            at += first + second;
        } else {
            value += script[at++];
        }
    }
    return {value, std::string::npos};  // never closed
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
        const std::string script = "$exe='" + ops::_powershell_quote(path) + "';rest";
        const auto [value, end] = read_single_quoted(script.substr(5));
        EXPECT_EQ(value, path);
        EXPECT_EQ(script.substr(5 + end), ";rest") << script;
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
    EXPECT_EQ(args[4], R"($exe='C:\Users\O''Neil\AppData\Local\norvale\vetra\vetra_service_runner.exe';)" + WAIT);
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

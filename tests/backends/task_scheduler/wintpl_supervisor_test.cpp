// The VBScript supervisor: what can be checked without Windows Script Host (the text's shape, its
// declarations and messages, a static check of its structure) and the filling of its placeholders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "backends/task_scheduler/vbscript_lint.hpp"

namespace {

using vetra_service_manager::backends::task_scheduler::wintpl::fill_supervisor_template;
using vetra_service_manager::backends::task_scheduler::wintpl::SupervisorSettings;
using vetra_service_manager::backends::task_scheduler::wintpl::VBS_PROC_LAUNCHER_TEMPLATE;
namespace vbscript = vsm_test::vbscript;

const std::string TEMPLATE{VBS_PROC_LAUNCHER_TEMPLATE};

std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        auto end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SupervisorTemplate, IsAnExplicitScriptWithWindowsLineEndings) {
    EXPECT_EQ(TEMPLATE.rfind("Option Explicit\r\n", 0), 0u);
    for (std::size_t i = 0; i < TEMPLATE.size(); ++i) {
        if (TEMPLATE[i] == '\n') {
            ASSERT_TRUE(i > 0 && TEMPLATE[i - 1] == '\r') << "bare LF at " << i;
        }
        if (TEMPLATE[i] == '\r') {
            ASSERT_TRUE(i + 1 < TEMPLATE.size() && TEMPLATE[i + 1] == '\n') << "bare CR at " << i;
        }
    }
}

TEST(SupervisorTemplate, ItsOnlyBracesAreTheFourPlaceholdersEachAloneInALiteral) {
    std::string rest = TEMPLATE;
    for (const char* placeholder : {"{executable}", "{pid_file}", "{log_file}", "{working_dir}"}) {
        const std::string quoted = std::string("\"") + placeholder + "\"";
        auto at = rest.find(quoted);
        ASSERT_NE(at, std::string::npos) << placeholder;
        rest.erase(at, quoted.size());
        EXPECT_EQ(rest.find(placeholder), std::string::npos) << placeholder << " appears twice";
    }
    EXPECT_EQ(rest.find_first_of("{}"), std::string::npos);
}

TEST(SupervisorTemplate, ConfigurationBlockHoldsExactlyTheFiveSettings) {
    const auto lines = crlf_lines(TEMPLATE);
    const auto begin = std::find(lines.begin(), lines.end(), "' --- CONFIGURATION ---");
    ASSERT_NE(begin, lines.end());
    const auto end = std::find(begin, lines.end(), "' ---------------------");
    ASSERT_NE(end, lines.end());
    EXPECT_THAT(std::vector<std::string>(begin + 1, end),
                testing::ElementsAre("strCommand = \"{executable}\"", "strPidFile = \"{pid_file}\"",
                                     "strLogFile = \"{log_file}\"", "strWorkDir = \"{working_dir}\"",
                                     "intThrottleSeconds = 60"));
}

TEST(SupervisorTemplate, DeclaresEveryGlobalConstantAndProcedure) {
    // Globals: Dim statements before the first procedure.
    std::vector<std::string> globals;
    const std::regex dim(R"(^Dim (.*)$)");
    for (const auto& line : crlf_lines(TEMPLATE.substr(0, TEMPLATE.find("\r\nSub ")))) {
        std::smatch m;
        if (!std::regex_match(line, m, dim)) continue;
        const std::string list = m[1].str();
        const std::regex name(R"(\w+)");
        for (std::sregex_iterator it(list.begin(), list.end(), name), e; it != e; ++it) globals.push_back(it->str());
    }
    EXPECT_THAT(globals, testing::IsSupersetOf({"objWMI", "objFSO", "objShell", "dictLogSeen", "strPidFile",
                                                "strLogFile", "strCommand", "strWorkDir", "intThrottleSeconds",
                                                "blnWMIOk", "intPID", "strCreationDate", "arrChild", "dictChildren",
                                                "childPid"}));

    const auto lines = crlf_lines(TEMPLATE);
    for (const char* line :
         {"Const PROC_DEAD = 0", "Const PROC_ALIVE = 1", "Const PROC_UNKNOWN = -1", "Const WMI_TRIES = 3",
          "Const WMI_RETRY_MS = 2000", "Const WMI_WAIT_MS = 5000", "Sub Log(msg)", "Sub LogRepeat(msg)",
          "Sub WMIConnect()", "Function WMIQuery(strQuery, arrProps)", "Function RowValue(arrRows, intRow, intCol)",
          "Function WMIKill(pid)", "Function ProcessState(pid)", "Sub WaitForWMI(strContext)",
          "Sub WritePidFile(intChildPid, strCreated)", "Sub DeletePidFile()", "Function DiscoverChild()",
          "Function GetOwnPID()", "Sub TrackChildren(intParentPid, strParentCreated, dictTracked)", "Sub CleanupStalePid()"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }

    for (const char* object : {"Set objFSO = CreateObject(\"Scripting.FileSystemObject\")",
                               "Set objShell = CreateObject(\"WScript.Shell\")",
                               "Set dictLogSeen = CreateObject(\"Scripting.Dictionary\")",
                               "GetObject(\"winmgmts:\\\\.\\root\\cimv2\")"}) {
        EXPECT_TRUE(contains(TEMPLATE, object)) << object;
    }
}

TEST(SupervisorTemplate, CarriesEveryMessageAndQuery) {
    // As they stand in the script: string literals, or literal pieces joined by "&".
    const char* texts[] = {
        R"v("Launcher started. Command: " & strCommand)v",
        R"v("Found stale PID file, cleaning up previous instance...")v",
        R"v(WaitForWMI "startup cleanup")v",
        R"v(LogRepeat "Stale PID file not resolved yet, retrying")v",
        R"v(WaitForWMI "spawn")v",
        R"v("Spawning process...")v",
        R"v("Could not change to working directory " & strWorkDir)v",
        R"v("Run failed: " & Err.Number & " - " & Err.Description)v",
        R"v(objShell.Run strCommand, 0, False)v",
        R"v("Process started with PID " & intPID)v",
        R"v(LogRepeat "WMI unavailable while monitoring PID " & intPID & "; holding (no kill, no restart) until it answers")v",
        R"v("Process PID " & intPID & " exited")v",
        R"v("Killing tracked child PID " & childPid)v",
        R"v("Could not kill tracked child PID " & childPid)v",
        R"v("Throttling " & intThrottleSeconds & "s before restart...")v",
        R"v("Process did not appear after launch (blocked or failed to start). Retrying in " & intThrottleSeconds & "s...")v",
        R"v(msg & " (still, after " & intCount & " checks)")v",
        R"v("Could not connect to WMI: 0x" & Hex(Err.Number) & " - " & Err.Description)v",
        R"v(LogRepeat "WMI query failed: 0x" & Hex(Err.Number) & " - " & Err.Description & " [" & Err.Source & "] :: " & strQuery)v",
        R"v(Log "WMI kill of PID " & pid & " failed (attempt " & intAttempt & " of " & WMI_TRIES & "): 0x" & Hex(Err.Number) & " - " & Err.Description & " [" & Err.Source & "]")v",
        R"v("SELECT * FROM Win32_Process WHERE ProcessId = " & pid)v",
        R"v(.Terminate(1))v",
        R"v("SELECT ProcessId FROM Win32_Process WHERE ProcessId = " & pid, Array("ProcessId"))v",
        R"v("SELECT ProcessId FROM Win32_Process WHERE ProcessId = 4", Array("ProcessId"))v",
        R"v(LogRepeat "Waiting for WMI before " & strContext)v",
        R"v("Could not write PID file (" & Err.Number & " - " & Err.Description & "); continuing")v",
        R"v("PID file written: " & strPidFile)v",
        R"v("PID file deleted")v",
        R"v("Could not delete PID file (" & Err.Number & " - " & Err.Description & ")")v",
        R"v("PID file already gone (deleted externally?)")v",
        R"v(LogRepeat "WMI unavailable while identifying the spawned child; waiting (will not spawn again)")v",
        R"v(LogRepeat "WMI answered but could not identify this script's own wscript.exe process")v",
        R"v("SELECT ProcessId, CreationDate FROM Win32_Process WHERE ParentProcessId = " & intParentPid, Array("ProcessId", "CreationDate"))v",
        R"v("SELECT ProcessId, CommandLine FROM Win32_Process WHERE Name = 'wscript.exe'", Array("ProcessId", "CommandLine"))v",
        R"v(InStr(1, varCommandLine, WScript.ScriptFullName, vbBinaryCompare))v",
        R"v("Tracked child PID " & lngChildPid)v",
        R"v(LogRepeat "Could not open PID file (" & Err.Number & " - " & Err.Description & "); retrying")v",
        R"v(LogRepeat "Could not read PID file (" & Err.Number & " - " & Err.Description & "); retrying")v",
        R"v(Log "PID file is corrupt (" & strLine & "); discarding it")v",
        R"v(LogRepeat "WMI cannot confirm whether stale PID " & lngOldPid & " is running; leaving everything untouched")v",
        R"v(Log "Stale PID " & lngOldPid & " no longer running")v",
        R"v("SELECT CreationDate FROM Win32_Process WHERE ProcessId = " & lngOldPid, Array("CreationDate"))v",
        R"v(LogRepeat "WMI could not read CreationDate of PID " & lngOldPid & "; leaving everything untouched")v",
        R"v(Log "PID " & lngOldPid & " exists but creation date mismatch - not our process, skipping")v",
        R"v("SELECT ProcessId FROM Win32_Process WHERE ParentProcessId = " & lngOldPid, Array("ProcessId"))v",
        R"v(LogRepeat "WMI could not enumerate children of PID " & lngOldPid & "; leaving everything untouched")v",
        R"v("Killed stale child PID " & lngChildPid)v",
        R"v("Could not kill stale child PID " & lngChildPid)v",
        R"v("Killed stale process PID " & lngOldPid)v",
        R"v(LogRepeat "Could not kill stale process PID " & lngOldPid & "; not spawning until it is gone")v",
    };
    for (const char* text : texts) EXPECT_TRUE(contains(TEMPLATE, text)) << text;
}

TEST(SupervisorTemplate, PassesTheStaticCheck) { EXPECT_THAT(vbscript::lint(TEMPLATE), testing::IsEmpty()); }

// The check must find the faults it exists for, or its silence above means nothing.
TEST(SupervisorTemplate, StaticCheckFindsSeededFaults) {
    const struct {
        const char* script;
        const char* problem;
    } cases[] = {
        {"Option Explicit\r\nDim a\r\nb = 1\r\n", "line 3: 'b' is not declared"},
        {"Dim a\r\na = c + 1\r\n", "line 2: 'c' is not declared"},
        {"Sub S(x)\r\n    Dim y\r\n    y = x\r\nEnd Sub\r\nSub T()\r\n    y = 2\r\nEnd Sub\r\n",
         "line 6: 'y' is not declared"},
        {"Dim a\r\nIf a Then\r\n    a = 1\r\n", "end of script: if block not closed"},
        {"Dim a\r\nDo\r\n    a = 1\r\nNext\r\n", "line 4: unexpected end of for"},
        {"Dim a\r\nIf a Then Exit For\r\n", "line 2: Exit for outside a for block"},
        {"Dim a\r\na = \"open\r\n", "line 2: unterminated string literal"},
        {"Dim a\r\nIf a Then\r\nSub S()\r\nEnd Sub\r\nEnd If\r\n", "line 3: procedure defined inside a block"},
    };
    for (const auto& c : cases) EXPECT_THAT(vbscript::lint(c.script), testing::Contains(c.problem)) << c.script;
}

// The value a configuration line assigns, decoded as VBScript reads it; fails the test unless the
// line is exactly one assignment of one complete string literal.
std::string assigned_literal(const std::vector<std::string>& lines, const std::string& variable) {
    const std::string prefix = variable + " = ";
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) != 0) continue;
        auto literal = vbscript::parse_string_literal(std::string_view(line).substr(prefix.size()));
        EXPECT_TRUE(literal.has_value()) << line;
        if (!literal) return {};
        EXPECT_EQ(literal->rest, "") << "code after the literal: " << line;
        return literal->value;
    }
    ADD_FAILURE() << variable << " is not assigned";
    return {};
}

TEST(SupervisorFill, HostileValuesStayInsideTheirLiterals) {
    const SupervisorSettings cases[] = {
        {R"("C:\Program Files\Vetra\runner.exe" --name "a b")", R"(C:\x\"quoted".pid)", R"(C:\x\a&b.log)",
         R"(C:\x\100%)"},
        {R"(runner.exe " & CreateObject("WScript.Shell").Run("calc") & ")", R"(C:\%TEMP%\{log_file}.pid)",
         R"(C:\{executable}\}{\x.log)", R"(C:\it's 'quoted' ''\)"},
        {R"(")", R"("")", R"(""")", R"(\")"},
        {"C:\\Users\\J\xC3\xB6rg\\runner.exe serve", "C:\\Users\\J\xC3\xB6rg\\s.pid", "", "C:\\Users\\J\xC3\xB6rg"},
    };
    const auto template_lines = crlf_lines(TEMPLATE);
    for (const auto& settings : cases) {
        SCOPED_TRACE(settings.executable);
        const std::string script = fill_supervisor_template(settings);
        const auto lines = crlf_lines(script);
        EXPECT_EQ(assigned_literal(lines, "strCommand"), settings.executable);
        EXPECT_EQ(assigned_literal(lines, "strPidFile"), settings.pid_file.string());
        EXPECT_EQ(assigned_literal(lines, "strLogFile"), settings.log_file.string());
        EXPECT_EQ(assigned_literal(lines, "strWorkDir"), settings.working_dir.string());

        // Nothing but the four configuration lines changed, and the script still checks clean.
        ASSERT_EQ(lines.size(), template_lines.size());
        int changed = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) changed += lines[i] != template_lines[i];
        EXPECT_EQ(changed, 4);
        EXPECT_THAT(vbscript::lint(script), testing::IsEmpty());
    }
}

TEST(SupervisorFill, ValuesWithLineBreaksAreRejected) {
    const std::string breaks[] = {"\n", "\r", "\r\n", std::string("\0", 1), "\xE2\x80\xA8", "\xE2\x80\xA9",
                                  "\xC2\x85"};
    for (const auto& line_break : breaks) {
        const std::string bad = "C:\\a" + line_break + "Log \"x\"";
        EXPECT_THROW(fill_supervisor_template({bad, "p", "l", "w"}), std::invalid_argument);
        EXPECT_THROW(fill_supervisor_template({"e", bad, "l", "w"}), std::invalid_argument);
        EXPECT_THROW(fill_supervisor_template({"e", "p", bad, "w"}), std::invalid_argument);
        EXPECT_THROW(fill_supervisor_template({"e", "p", "l", bad}), std::invalid_argument);
    }
    try {
        fill_supervisor_template({"e", "p", "l", "C:\\a\nb"});
        FAIL() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "The supervisor's working directory cannot hold a line break or NUL character");
    }
}

}  // namespace

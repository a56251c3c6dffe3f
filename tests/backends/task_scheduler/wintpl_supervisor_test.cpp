// The VBScript supervisor: what can be checked without Windows Script Host (its line endings, a
// static check of its structure and declarations) and the filling of its placeholders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "backends/task_scheduler/vbscript_lint.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"

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

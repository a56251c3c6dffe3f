// The Windows command-line quoting, checked here against the splitting rules of the Microsoft C
// runtime; the smoke program checks it against the real thing under wine.
#include "vetra_service_manager/platform/windows_command_line.hpp"

#include <gtest/gtest.h>

namespace wcl = vetra_service_manager::platform::windows_command_line;

namespace {

// How a Windows program splits its command line after the program name (backslashes are literal
// except before a '"'; 2n backslashes + '"' give n backslashes and toggle quoting, 2n+1 give n
// and a literal '"').
std::vector<std::string> split_arguments(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool in_argument = false, quoted = false;
    std::size_t backslashes = 0;
    for (char c : line) {
        if (c == '\\') {
            ++backslashes;
            in_argument = true;
            continue;
        }
        if (c == '"') {
            current.append(backslashes / 2, '\\');
            if (backslashes % 2) current += '"';
            else quoted = !quoted;
            backslashes = 0;
            in_argument = true;
            continue;
        }
        current.append(backslashes, '\\');
        backslashes = 0;
        if ((c == ' ' || c == '\t') && !quoted) {
            if (in_argument) args.push_back(current);
            current.clear();
            in_argument = false;
        } else {
            current += c;
            in_argument = true;
        }
    }
    current.append(backslashes, '\\');
    if (in_argument) args.push_back(current);
    return args;
}

}  // namespace

TEST(WindowsCommandLine, QuotesOnlyWhatNeedsIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"back\\slash\\", "back\\slash\\"},
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"tab\there", "\"tab\there\""},
        {"quote\"inside", "\"quote\\\"inside\""},
        {"\\\"", "\"\\\\\\\"\""},                       // \"  ->  "\\\""
        {"dir with space\\", "\"dir with space\\\\\""},  // the closing quote keeps its meaning
        {"a\\\\b c", "\"a\\\\b c\""},                   // backslashes not before a quote stay as they are
    };
    for (const auto& [argument, expected] : cases) EXPECT_EQ(wcl::quote_argument(argument), expected) << argument;
}

TEST(WindowsCommandLine, EveryArgumentSplitsBackUnchanged) {
    const std::vector<std::string> arguments = {
        "plain", "", " ", "two words", "quote\"inside", "\"", "\"\"", "\\", "\\\\", "trailing\\", "trailing space\\",
        "\\\\server\\share\\", "\\\"", "a\\\\\\\"b", "C:\\Program Files\\dir\\", "%PATH%", "^&|<>", "Ünïcødé € 😀",
        "\\\\\" \\\\\"\\",
    };
    std::vector<std::string> argv = {"prog"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::string line = wcl::build(argv);
    ASSERT_EQ(line.rfind("prog ", 0), 0u);
    EXPECT_EQ(split_arguments(line.substr(5)), arguments);
}

TEST(WindowsCommandLine, ProgramNameIsQuotedWithoutEscapes) {
    EXPECT_EQ(wcl::quote_program("C:\\tools\\run.exe"), "C:\\tools\\run.exe");
    EXPECT_EQ(wcl::quote_program("C:\\Program Files\\dir\\run.exe"), "\"C:\\Program Files\\dir\\run.exe\"");
    EXPECT_EQ(wcl::build({"C:\\A B\\run.exe", "x y"}), "\"C:\\A B\\run.exe\" \"x y\"");
    EXPECT_TRUE(wcl::valid_program("powershell.exe"));
    EXPECT_FALSE(wcl::valid_program("bad\"name"));
}

// The bash preflight, run by real bash: its quoting, and the trim it performs.
#include <gtest/gtest.h>

#include <random>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vsm_test {
namespace {

using vetra_service_manager::backends::launchd::macos::_build_program_arguments_with_log_rotation;
using vetra_service_manager::backends::launchd::macos::LOG_KEEP_BYTES;
using vetra_service_manager::backends::launchd::macos::LOG_SIZE_LIMIT_BYTES;
using vetra_service_manager::backends::launchd::macos::shell_quote;
namespace process = vetra_service_manager::platform::process;

TEST(MacOSPreflight, EmptyProgramEndsInABareExec) {
    const auto wrapped = _build_program_arguments_with_log_rotation({}, "/l/out.log", "/l/err.log");
    EXPECT_TRUE(wrapped[2].ends_with("; exec ")) << wrapped[2];
    // The shell then simply ends.
    EXPECT_EQ(process::run_captured(wrapped).exit_code, 0);
}

TEST(MacOSPreflight, QuotingFollowsThePosixShellRule) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "''"},
        {"plain", "plain"},
        {"/a/b-c_d.e@f%g+h=i:j,k", "/a/b-c_d.e@f%g+h=i:j,k"},
        {"a b", "'a b'"},
        {"it's", "'it'\"'\"'s'"},
        {"'", "''\"'\"''"},
        {"$HOME", "'$HOME'"},
        {"\"q\"", "'\"q\"'"},
        {"tab\there", "'tab\there'"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
        {"~", "'~'"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(shell_quote(input), expected) << input;
}

// Pieces from which hostile strings are built: every shell metacharacter, quotes, expansions,
// white space of all kinds and multi-byte UTF-8.
const std::vector<std::string> PIECES = {
    "a", "Z", "7", "_", "-", ".", " ", "  ", "\t", "\n", "\r", "'", "''", "\"", "\\", "$", "$HOME", "${x}",
    "$(id)", "`id`", "*", "?", "[a]", "{b,c}", "~", "!", "#", ";", "&", "&&", "|", "<", ">", ">>", "(", ")",
    "=", "%", "@", ":", ",", "+", "\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x99\x82", "-n", "--", "\x7f",
};

std::string generated(std::mt19937& random, bool allow_slash, std::size_t max_pieces) {
    std::uniform_int_distribution<std::size_t> count(0, max_pieces), pick(0, PIECES.size() - 1);
    std::string text;
    for (std::size_t n = count(random); n > 0; --n) text += PIECES[pick(random)];
    if (allow_slash && random() % 4 == 0) text += "/x";
    return text;
}

// About a thousand generated hostile strings, used as log paths, as the program's path and as
// its arguments, go through real bash: the program sees exactly its argument vector, and stat sees
// exactly the two log paths. (Every generated log file counts as oversized, so the trim runs on
// each and must leave its content intact.)
TEST(MacOSPreflight, HostileStringsReachTheProgramAndTheLogChecksUnchanged) {
    TempDir tmp;
    const fs::path shims = tmp / "shims";
    const fs::path stat_record = tmp / "stat_record";
    write_script(shims / "stat", "#!/bin/bash\n[[ $1 == -f%z ]] || exit 2\nprintf '%s\\0' \"$2\" >> '" +
                                     stat_record.string() + "'\necho 20000000\n");
    const char* path = std::getenv("PATH");
    ScopedEnv with_shims("PATH", shims.string() + ":" + (path ? path : "/usr/bin:/bin"));

    std::mt19937 random(20240229);
    for (int round = 0; round < 40; ++round) {
        const fs::path dir = tmp / ("case" + std::to_string(round));
        const fs::path program = dir / ("prog" + generated(random, false, 4));
        write_script(program, "#!/bin/bash\nprintf '%s\\0' \"$0\" \"$@\"\n");
        const fs::path out_log = dir / ("out" + generated(random, false, 6));
        const fs::path err_log = dir / ("err" + generated(random, false, 6));
        write_file(out_log, "out content\n");
        write_file(err_log, "err content\n");

        std::vector<std::string> arguments{program.string()};
        for (int n = random() % 48; n > 0; --n) arguments.push_back(generated(random, true, 8));
        fs::remove(stat_record);

        const auto result = process::run_captured(_build_program_arguments_with_log_rotation(arguments, out_log, err_log));
        SCOPED_TRACE("round " + std::to_string(round) + ": " +
                     _build_program_arguments_with_log_rotation(arguments, out_log, err_log)[2]);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(split_nul(result.out), arguments);
        EXPECT_EQ(split_nul(read_file(stat_record)), (std::vector<std::string>{out_log.string(), err_log.string()}));
        EXPECT_EQ(read_file(out_log), "out content\n");
        EXPECT_EQ(read_file(err_log), "err content\n");
        // Nothing but the program and the two logs: no ".tmp" left, no stray file from a broken quote.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
        EXPECT_TRUE(result.err.empty()) << result.err;
    }
}

// Real files around the size limit, with the BSD stat shim that launchd agents get in the tests.
TEST(MacOSPreflight, TrimsOnlyFilesAboveTheLimitToTheirTail) {
    TempDir tmp;
    const char* path = std::getenv("PATH");
    ScopedEnv with_bsd_stat("PATH", (fakes_dir / "bsd-stat").string() + ":" + (path ? path : "/usr/bin:/bin"));
    // A recognisable pattern, so that the kept part can be checked to be the tail.
    auto content = [](std::size_t size) {
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
        return text;
    };
    const std::string over = content(LOG_SIZE_LIMIT_BYTES + 1);
    const std::string at = content(LOG_SIZE_LIMIT_BYTES);
    const fs::path dir = tmp / "log dir";
    write_file(dir / "out.log", over);
    write_file(dir / "err.log", at);

    const auto result = process::run_captured(
        _build_program_arguments_with_log_rotation({"/bin/true"}, dir / "out.log", dir / "err.log"));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string trimmed = read_file(dir / "out.log");
    EXPECT_EQ(trimmed.size(), LOG_KEEP_BYTES);
    EXPECT_TRUE(trimmed == over.substr(over.size() - LOG_KEEP_BYTES));
    EXPECT_TRUE(read_file(dir / "err.log") == at);
    EXPECT_FALSE(fs::exists(dir / "out.log.tmp"));
}

// The trim keeps the file itself: an output descriptor opened before the preflight ran (as launchd
// opens StandardOutPath) still writes into the trimmed log, not into a replaced file.
TEST(MacOSPreflight, TrimKeepsTheAlreadyOpenLogFile) {
    TempDir tmp;
    const char* path = std::getenv("PATH");
    ScopedEnv with_bsd_stat("PATH", (fakes_dir / "bsd-stat").string() + ":" + (path ? path : "/usr/bin:/bin"));
    const fs::path log = tmp / "out.log";
    write_file(log, std::string(LOG_SIZE_LIMIT_BYTES + 1, 'x'));
    const auto wrapped = _build_program_arguments_with_log_rotation({"/bin/echo", "after trim"}, log, tmp / "err.log");
    const auto result =
        process::run_captured({"/bin/bash", "-c", "exec >>\"$0\"; exec \"$@\"", log.string(), wrapped[0], wrapped[1], wrapped[2]});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string text = read_file(log);
    EXPECT_EQ(text.size(), LOG_KEEP_BYTES + std::string("after trim\n").size());
    EXPECT_TRUE(text.ends_with("xafter trim\n"));
}

}  // namespace
}  // namespace vsm_test

#include <signal.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::LogCapture;
using vsm_test::TempDir;

namespace {

ops::PackageRecord record(const char* json) { return ops::PackageRecord::parse(json); }

TEST(NormalizePackageName, LowersAndDashesOnly) {
    EXPECT_EQ(ops::normalize_package_name("Vetra_Sync_Agent_Foo"), "vetra-sync-agent-foo");
    EXPECT_EQ(ops::normalize_package_name("a.b"), "a.b");
    EXPECT_EQ(ops::normalize_package_name("a__b"), "a--b");
    EXPECT_EQ(ops::normalize_package_name(" X "), " x ");
}

TEST(IsMigratableExtra, DecidesByNamePrefixBakedInAndEditable) {
    struct Case {
        const char* json;
        bool migratable;
    };
    const Case cases[] = {
        {R"({"name": "vetra-sync-agent-foo", "version": "1.0"})", true},
        {R"({"name": "Vetra_Sync_Agent_Foo"})", true},
        {R"({"name": "vetra-sync-agent-"})", true},
        {R"({"name": "VETRA-SYNC-AGENT-NATIVE"})", false},
        {R"({"name": "vetra_sync_agent_native"})", false},
        {R"({"name": "vetra-sync-agent"})", false},
        {R"({"name": "vetra.sync.agent.foo"})", false},
        {R"({"name": "orvik"})", false},
        {R"({"name": "requests"})", false},
        {R"({"name": ""})", false},
        {R"({"version": "1.0"})", false},
        {R"({"name": "vetra-sync-agent-foo", "editable_project_location": null})", false},
        {R"({"name": "vetra-sync-agent-foo", "editable_project_location": ""})", false},
        // Malformed records have no name; they must not throw.
        {R"({"name": 42})", false},
        {R"({"name": null})", false},
        {R"("vetra-sync-agent-foo")", false},
        {R"([{"name": "vetra-sync-agent-foo"}])", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ops::is_migratable_extra(record(c.json)), c.migratable) << c.json;
    }
}

// Escaped undecodable bytes come back as those bytes, next to every other escape; other lone
// surrogates and raw invalid UTF-8 stay unreadable.
TEST(ParsePackageList, KeepsTheBytesOfEscapedUndecodableBytes) {
    const std::pair<const char*, std::string> readable[] = {
        {R"("/home/j\udcfcrg/src")", "/home/j\xfcrg/src"},
        {R"("\udc80\uDCFF\u0000\udcc3\u00e9")", std::string("\x80\xff\0\xc3\xc3\xa9", 6)},
        {R"("\\udc80 \ud83d\ude00")", "\\udc80 \xf0\x9f\x98\x80"},
    };
    for (const auto& [escaped, bytes] : readable) {
        const auto records = ops::parse_package_list(std::string(R"([{"name": "x", )") + escaped + ": " + escaped + "}]");
        ASSERT_EQ(records.size(), 1u) << escaped;
        EXPECT_EQ(records[0].at(bytes), bytes) << escaped;
        EXPECT_EQ(records[0].begin().key(), "name") << escaped;
    }
    for (const char* unreadable : {R"(["\udc7f"])", R"(["\ud800"])", R"(["\ud800\u0041"])", "[\"\xff\"]", R"(["\udc8)", "[1e999]"}) {
        EXPECT_THROW(ops::parse_package_list(unreadable), ops::UnreadablePackageList) << unreadable;
    }
}

TEST(ParsePackageList, ReadsSixtyFourLevelsAndNoMore) {
    const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    EXPECT_EQ(ops::parse_package_list(nested(64)).size(), 1u);
    EXPECT_THROW(ops::parse_package_list(nested(65)), ops::UnreadablePackageList);
    EXPECT_EQ(ops::parse_package_list("[\"\\\"" + nested(65) + "\"]").size(), 1u) << "brackets in strings do not count";
}

using PipList = RunnerScriptTest;

TEST_F(PipList, ReturnsRecordsInOrderAsPrinted) {
    const auto runner = runner_with(
        R"(echo 'noise that must not be logged' >&2
cat <<'JSON'
[{"name": "zeta", "version": "2.0", "extra": {"k": [1, 2]}},
 {"name": "vetra-sync-agent-foo", "version": "1.0", "editable_project_location": "/src"},
 {"name": "Alpha", "version": "0.1"}]
JSON)");
    LogCapture logs;
    const auto packages = ops::pip_list_via_runner(runner);
    EXPECT_EQ(recorded_args(record), (std::vector<std::string>{"self", "pip", "list", "--format=json"}));
    ASSERT_EQ(packages.size(), 3u);
    EXPECT_EQ(packages[0]["name"], "zeta");
    EXPECT_EQ(packages[0]["extra"]["k"][1], 2);
    EXPECT_TRUE(ops::is_editable_install(packages[1]));
    EXPECT_EQ(packages[2]["name"], "Alpha");
    EXPECT_EQ(logs.text(), "");
}

TEST_F(PipList, FailuresAreAbsorbedWithOneWarning) {
    struct Case {
        const char* name;
        std::string body;
        std::string description_start;
    };
    const Case cases[] = {
        {"empty output", "exit 0", "[json.exception.parse_error"},
        {"exit status", "echo '[]'; echo 'secret detail' >&2; exit 1", "exit status 1"},
        {"killed by a signal", "kill -TERM $$", "terminated by signal 15"},
        {"trailing text", "echo '[] and more'", "[json.exception.parse_error"},
        {"invalid UTF-8", R"(printf '[{"name": "\xff"}]')", "[json.exception.parse_error"},
        {"arrays nested deep around an undecodable byte",
         R"(head -c 20000 /dev/zero | tr '\0' '['; printf '"\\udc80"'; head -c 20000 /dev/zero | tr '\0' ']')",
         "nested deeper than 64 levels"},
        {"objects nested deep", R"(yes '{"a":' | head -n 100000 | tr -d '\n'; echo 1; yes '}' | head -n 100000 | tr -d '\n')",
         "nested deeper than 64 levels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto runner = runner_with(c.body);
        LogCapture logs;
        EXPECT_TRUE(ops::pip_list_via_runner(runner).empty());
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), 1u) << logs.text();
        EXPECT_EQ(lines[0].rfind(warning("Failed to list packages via " + runner.string() + ": " + c.description_start), 0),
                  0u)
            << lines[0];
        EXPECT_EQ(logs.text().find("secret"), std::string::npos);
    }
}

TEST_F(PipList, RunnerPastTheLimitIsKilledAndReaped) {
    const fs::path pid_file = dir / "pid";
    const auto runner = runner_with("echo $$ > '" + pid_file.string() + "'\nexec sleep 60");
    LogCapture logs;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(ops::pip_list_via_runner(runner, 1).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(logs.lines(),
              std::vector<std::string>{warning("Failed to list packages via " + runner.string() + ": timed out after 1s")});
    const pid_t pid = std::stoi(vsm_test::read_file(pid_file));
    // Neither running nor a zombie: the pid no longer exists at all.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(PipList, DocumentThatIsNotAnArrayIsAnErrorNamingIt) {
    const struct {
        const char* printed;
        const char* received;
    } cases[] = {
        {R"({"name": "x"})", R"(object: {"name":"x"})"},
        {R"("hello")", R"(string: "hello")"},
        {"42", "number: 42"},
        {"null", "null: null"},
    };
    for (const auto& c : cases) {
        const auto runner = runner_with(std::string("echo '") + c.printed + "'");
        try {
            ops::pip_list_via_runner(runner);
            ADD_FAILURE() << "no error for " << c.printed;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.received), std::string::npos) << error.what();
        }
    }
}

TEST_F(PipList, MissingRunnerReachesTheCaller) {
    try {
        ops::pip_list_via_runner(dir / "no-such-runner");
        FAIL() << "no error";
    } catch (const vetra_service_manager::platform::process::StartError& error) {
        EXPECT_TRUE(error.not_found());
    }
}

}  // namespace

// `status` end to end on platforms without a service backend, and its JSON layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/cli.hpp"

namespace {

using vsm_test::run_cli;
using vsm_test::ScopedEnv;

struct LinuxHome {
    vsm_test::TempDir home;
    ScopedEnv home_env{"HOME", home.path().string()};
    ScopedEnv platform{"VSM_TEST_PLATFORM", "Linux"};
    ScopedEnv xdg;
    explicit LinuxHome(std::optional<std::string> xdg_value) : xdg("XDG_DATA_HOME", std::move(xdg_value)) {}
    std::string runner() const { return (home / ".local/share/norvale/services/vetra_service_runner").string(); }
};

TEST(StatusCommand, TextReportForAMissingRunnerAndAbsentServices) {
    LinuxHome env(std::nullopt);
    auto result = run_cli({"status"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "Runner:   " + env.runner() + "  (MISSING)\n"
              "Full Disk Access: GRANTED\n"
              "\n"
              "  \u2717  vetra_sync_agent\n"
              "        installed=False  enabled=False  running=False  version=unknown\n"
              "  \u2717  vetra_api\n"
              "        installed=False  enabled=False  running=False  version=unknown\n");
}

TEST(StatusCommand, JsonDocumentLayoutIsExact) {
    LinuxHome env(std::nullopt);
    vsm_test::write_script(env.runner(), "#!/bin/sh\n");
    auto result = run_cli({"status", "--json"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out,
              "{\n"
              "  \"runner_executable\": \"" + env.runner() + "\",\n"
              "  \"runner_present\": true,\n"
              "  \"services\": {\n"
              "    \"vetra_sync_agent\": {\n"
              "      \"installed\": false,\n"
              "      \"enabled\": false,\n"
              "      \"running\": false,\n"
              "      \"version\": null\n"
              "    },\n"
              "    \"vetra_api\": {\n"
              "      \"installed\": false,\n"
              "      \"enabled\": false,\n"
              "      \"running\": false,\n"
              "      \"version\": null\n"
              "    }\n"
              "  },\n"
              "  \"full_disk_access\": true\n"
              "}\n");
}

TEST(StatusCommand, JsonEscapesNonAsciiAndUndecodableBytesInPaths) {
    vsm_test::TempDir tmp;
    // "é", a character outside the basic plane, a quote, DEL and two bytes that are not UTF-8.
    const std::string odd = (tmp / "d\xc3\xa9-\xf0\x9f\x98\x80-\"-\x7f-\xff\xc3").string();
    LinuxHome env(odd);
    auto result = run_cli({"status", "--json"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const std::string escaped = tmp.path().string() + "/d\\u00e9-\\ud83d\\ude00-\\\"-\\u007f-\\udcff\\udcc3";
    EXPECT_THAT(result.out, testing::HasSubstr("\"runner_executable\": \"" + escaped +
                                               "/norvale/services/vetra_service_runner\",\n"));
}

}  // namespace

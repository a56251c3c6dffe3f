// The shell completions, checked by the shells that read them.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace {
using namespace vsm_test;
namespace process = vetra_service_manager::platform::process;

const fs::path completions = source_dir / "packaging" / "completions";

// What bash offers after `line` (a trailing space starts a new word).
std::string bash_offers(const std::string& line) {
    const std::string script = "source \"$1\"; read -ra COMP_WORDS <<<\"$2\"; [[ $2 == *' ' ]] && COMP_WORDS+=('');"
                               " COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vetra_service_manager;"
                               " printf '%s' \"${COMPREPLY[*]}\"";
    const auto result = process::run_captured(
        {"/bin/bash", "-c", script, "bash", (completions / "vetra_service_manager.bash").string(), line},
        std::chrono::seconds(10));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result.out;
}

TEST(Completion, BashOffersSubcommandsOptionsAndServices) {
    const struct {
        const char* line;
        const char* offered;
    } cases[] = {
        {"vetra_service_manager st", "status start stop"},
        {"vetra_service_manager doctor vetra_api --j", "--json"},
        {"vetra_service_manager --log-level w", "warning"},
        {"vetra_service_manager --log-level debug re", "restart"},
        {"vetra_service_manager uninstall --k", "--keep-cache --keep-binary"},
        {"vetra_service_manager restart vetra_", "vetra_sync_agent vetra_api"},
        {"vetra_service_manager logs -n 5 --f", "--follow"},
        {"vetra_service_manager install --version ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(bash_offers(c.line), c.offered) << c.line;
}

TEST(Completion, ZshAndFishParseTheirScripts) {
    const struct {
        const char* shell;
        std::vector<std::string> check;
    } shells[] = {
        {"zsh", {"/usr/bin/zsh", "-n", (completions / "_vetra_service_manager").string()}},
        {"fish", {"/usr/bin/fish", "--no-execute", (completions / "vetra_service_manager.fish").string()}},
    };
    for (const auto& s : shells) {
        if (!fs::exists(s.check.front())) {
            ADD_FAILURE() << s.shell << " is missing: scripts/deps installs it";
            continue;
        }
        const auto result = process::run_captured(s.check, std::chrono::seconds(10));
        EXPECT_EQ(result.exit_code, 0) << s.shell << ": " << result.err;
    }
}

}  // namespace

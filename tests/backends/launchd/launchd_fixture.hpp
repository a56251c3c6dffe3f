#pragma once
// A launchd backend under test against the launchctl simulator (tests/fakes/launchctl): a fresh
// HOME, a fresh simulator state, the platform forced to Darwin, the simulator first on PATH.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/launchd/macos.hpp"

namespace vsm_test {

class LaunchdTest : public ::testing::Test {
protected:
    static constexpr const char* SERVICE = "demo_service";
    static constexpr const char* LABEL = "com.norvale.demo_service";

    LaunchdTest();
    void TearDown() override;

    vetra_service_manager::backends::launchd::macos::MacOSServiceManager manager() const;

    // Calls of the simulator, oldest first, each as its space-joined arguments ("print-disabled gui/0").
    std::vector<std::string> calls() const;
    // Only the subcommands ("print-disabled", "print", ...).
    std::vector<std::string> subcommands() const;
    // Seconds since the epoch of each call of this subcommand.
    std::vector<double> call_times(const std::string& subcommand) const;
    void forget_calls() const;
    // Queues the outcome of the next call of `subcommand` not yet queued: "pass" or "CODE STDERR".
    void queue(const std::string& subcommand, const std::string& outcome) const;
    // The word print-disabled shows for `label`.
    void mark(const std::string& label, const std::string& word) const;
    void delay_start(double seconds) const;
    void force_state(const std::string& word) const;
    std::optional<pid_t> agent_pid() const;
    bool loaded() const;

    // An agent program that records its working directory and arguments (NUL-separated) in
    // agent_record, writes "started" to standard output, then sleeps.
    fs::path agent_program() const;
    // agent_record's entries once the agent wrote them (waits up to 10 s).
    std::vector<std::string> agent_record() const;
    std::string uid_text() const;

    TempDir tmp;
    fs::path home = tmp / "home";
    fs::path state = tmp / "launchd";
    // Like the real service directory, with a blank in it.
    fs::path app_dir = home / "Library" / "Application Support" / "norvale" / "services";
    fs::path plist = home / "Library" / "LaunchAgents" / (std::string(LABEL) + ".plist");
    fs::path log_dir = app_dir / (std::string(SERVICE) + "_logs");
    fs::path record = tmp / "agent_record";

private:
    ScopedEnv platform_{"VSM_TEST_PLATFORM", "Darwin"};
    ScopedEnv home_env_{"HOME", home.string()};
    ScopedEnv state_env_{"VSM_LAUNCHCTL_STATE", state.string()};
    ScopedEnv path_env_;
};

// True while the process exists and is no zombie.
bool process_alive(pid_t pid);


}  // namespace vsm_test

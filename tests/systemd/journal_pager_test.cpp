// The user journal on Linux, a private one: journald in a mount namespace of its own, with the
// services' lines sent in by an ordinary user, so that they land in that user's journal; the
// commands run at a terminal (tmux) of that user's in the same namespace. `logs` shows the journal
// through journalctl's pager: a Ctrl-C pressed in the pager is the user's wish to stop (130), while
// quitting it normally is success. `doctor` quotes a stopped service's last lines from it.
#include <signal.h>

#include <fstream>

#include <gtest/gtest.h>

#include "e2e/doctor_findings.hpp"
#include "e2e/e2e_fixture.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace {

namespace fs = std::filesystem;
namespace process = vetra_service_manager::platform::process;

constexpr const char* USER = "1000";

// Starts journald privately, fills the user's journal and starts a tmux server of the user's
// that lives in the same namespace. Arguments: the world's root, the journald pid file.
constexpr const char* SET_UP = R"(
set -eu
root=$1
mount -t tmpfs tmpfs /run/systemd
mkdir -p /run/log && mount -t tmpfs tmpfs /run/log
mount -t tmpfs tmpfs /var/log/journal
/lib/systemd/systemd-journald </dev/null >"$root/journald.log" 2>&1 &
echo $! >"$root/journald.pid"
for _ in $(seq 100); do [ -S /run/systemd/journal/socket ] && break; sleep 0.05; done
# Only persistent journals are split by user: move to /var/log/journal first.
journalctl --flush
printf 'MESSAGE=api: cannot bind\x1b[31m :8080\nUSER_UNIT=com.norvale.vetra_api.service\n' |
  setpriv --reuid=1000 --regid=1000 --clear-groups logger --journald
for i in $(seq 60); do
  printf 'MESSAGE=line %s of the agent\nUSER_UNIT=com.norvale.vetra_sync_agent.service\n' "$i" |
    setpriv --reuid=1000 --regid=1000 --clear-groups logger --journald
done
setpriv --reuid=1000 --regid=1000 --clear-groups tmux -S "$root/tmux" new-session -d -x 120 -y 20 -n idle
)";

class JournalPager : public testing::Test {
protected:
    vsm_e2e::World world{"Linux"};
    std::string socket = (world.root() / "tmux").string();

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (a mount namespace with a private journald)";
        for (const char* unit : {"com.norvale.vetra_sync_agent.service", "com.norvale.vetra_api.service"}) {
            vsm_test::write_file(world.home() / ".config/systemd/user" / unit, "");
        }
        fs::permissions(world.root(), fs::perms::all);
        process::run_captured({"chown", "-R", std::string(USER) + ":" + USER, world.root().string()},
                              std::chrono::seconds(10));
        const auto set_up = process::run_captured(
            {"unshare", "-m", "--propagation", "private", "bash", "-c", SET_UP, "bash", world.root().string()},
            std::chrono::seconds(60));
        ASSERT_EQ(set_up.exit_code, 0) << set_up.err;
    }

    void TearDown() override {
        tmux({"kill-server"});
        std::ifstream pid_file(world.root() / "journald.pid");
        if (pid_t pid = 0; pid_file >> pid) ::kill(pid, SIGKILL);
    }

    process::Captured tmux(std::vector<std::string> args) const {
        args.insert(args.begin(), {"setpriv", "--reuid=1000", "--regid=1000", "--clear-groups", "tmux", "-S", socket});
        return process::run_captured(args, std::chrono::seconds(10));
    }
    bool shows(const std::string& window, const std::string& text) const {
        return vsm_test::eventually(
            [&] { return tmux({"capture-pane", "-p", "-t", window}).out.find(text) != std::string::npos; });
    }
    // `logs` in a new window, through the pager journalctl chooses at a terminal.
    void open_logs(const std::string& window) const {
        const std::string program = "'" + vsm_test::testing_binary.string() + "'";
        tmux({"new-window", "-d", "-n", window,
              "unset PAGER SYSTEMD_PAGER SYSTEMD_LESS; " + program + " logs; echo exit=$?; sleep 60"});
    }
};

TEST_F(JournalPager, CtrlCInThePagerIsAnInterruptAndQuittingIsSuccess) {
    struct Case {
        const char* window;
        std::vector<const char*> keys;
        const char* exit;
    } cases[] = {{"interrupted", {"C-c", "q"}, "exit=130"}, {"quit", {"q"}, "exit=0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.window);
        open_logs(c.window);
        // Fifty lines do not fit on twenty rows: the pager holds the screen until told.
        ASSERT_TRUE(shows(c.window, "line 11 of the agent"));
        for (const char* key : c.keys) tmux({"send-keys", "-t", c.window, key});
        EXPECT_TRUE(shows(c.window, c.exit)) << tmux({"capture-pane", "-p", "-t", c.window}).out;
    }
}

// Without a user manager to ask (none runs here), the journal still has what the service wrote.
TEST_F(JournalPager, DoctorQuotesTheLastLinesOfAStoppedServiceEscaped) {
    const fs::path out = world.root() / "doctor.json";
    tmux({"new-window", "-d", "-n", "doctor",
          "'" + vsm_test::testing_binary.string() + "' doctor --json vetra_api >'" + out.string() + ".part'; mv '" +
              out.string() + ".part' '" + out.string() + "'"});
    ASSERT_TRUE(vsm_test::eventually([&] { return fs::exists(out); }, 60));
    const auto found = vsm_doctor::finding(vsm_test::read_file(out), "output", "vetra_api");
    EXPECT_EQ(found["fact"], "its last lines in the journal:\napi: cannot bind\\x1b[31m :8080") << found;
}

}  // namespace

#pragma once
// A user's world for end-to-end runs of the testing executable: a temporary home, a chosen
// platform, the stand-ins of tests/fakes first on PATH, and helpers to place fake runners.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/cli.hpp"

namespace vsm_e2e {

namespace fs = std::filesystem;
using vsm_test::ScopedEnv;

class World {
public:
    explicit World(const std::string& platform)
        : platform_("VSM_TEST_PLATFORM", platform),
          home_("HOME", (root_ / "home").string()),
          path_("PATH", vsm_test::fakes_dir.string() + ":" + std::string(std::getenv("PATH"))),
          xdg_("XDG_DATA_HOME", std::nullopt),
          xdg_config_("XDG_CONFIG_HOME", std::nullopt),
          // No user manager unless a test starts one there; never the host's.
          xdg_runtime_("XDG_RUNTIME_DIR", (root_ / "run").string()),
          session_bus_("DBUS_SESSION_BUS_ADDRESS", std::nullopt),
          // Nor the host's login manager: no system bus, and lingering as the world's own marks say.
          system_bus_("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root_ / "no-system-bus").string()),
          linger_("VSM_TEST_LINGER_DIRECTORY", (root_ / "linger").string()),
          local_("LOCALAPPDATA", platform == "Windows" ? std::optional((root_ / "local").string()) : std::nullopt),
          temp_("TEMP", (root_ / "tmp").string()),
          launchd_("VSM_LAUNCHCTL_STATE", (root_ / "launchd").string()),
          client_("VSM_TEST_CLIENT_LIBRARY", (vsm_test::testing_binary.parent_path() / "libvetra_client.so").string()) {
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "tmp");
        // Lingering on, as on a machine where the services outlive the session.
        vsm_test::write_file(linger_mark(), "");
    }

    World(const World&) = delete;
    World& operator=(const World&) = delete;
    // Agents the launchctl stand-in started and nobody booted out.
    ~World() {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root_ / "launchd/pid", ec)) {
            const std::string pid = vsm_test::read_file(entry.path());
            if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
        }
    }

    const fs::path& root() const { return root_.path(); }
    fs::path home() const { return root_ / "home"; }
    // The file that says lingering is on for this user, where no login manager answers.
    fs::path linger_mark() const { return root_ / "linger" / ::getpwuid(::getuid())->pw_name; }

    // Where the manager looks for the runner on this platform.
    fs::path runner() const {
        const std::string platform = std::getenv("VSM_TEST_PLATFORM");
        if (platform == "Darwin") return home() / "Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner";
        if (platform == "Windows") return root_ / "local/norvale/services/vetra_service_runner.exe";
        return home() / ".local/share/norvale/services/vetra_service_runner";
    }

    // Copies the runner stand-in to `where`.
    static void place_runner(const fs::path& where) {
        fs::create_directories(where.parent_path());
        fs::copy_file(vsm_test::fakes_dir / "runner", where, fs::copy_options::overwrite_existing);
    }

    // The calls a runner stand-in received, one line each.
    static std::vector<std::string> runner_calls(const fs::path& runner) {
        const fs::path calls = runner.string() + ".calls";
        return fs::exists(calls) ? vsm_test::split_lines(vsm_test::read_file(calls)) : std::vector<std::string>{};
    }

    // An Info.plist with this CFBundleVersion in the bundle that holds `runner`.
    static void set_bundle_version(const fs::path& bundle, const std::string& version) {
        vsm_test::write_file(bundle / "Contents/Info.plist",
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                             "\t<key>CFBundleVersion</key>\n\t<string>" + version + "</string>\n</dict>\n</plist>\n");
    }

private:
    vsm_test::TempDir root_;
    ScopedEnv platform_, home_, path_, xdg_, xdg_config_, xdg_runtime_, session_bus_, system_bus_, linger_, local_, temp_, launchd_, client_;
};

// The testing executable run as the unprivileged `user` (by root, through setpriv), in the
// current environment.
inline vetra_service_manager::platform::process::Captured run_cli_as(uid_t user, std::vector<std::string> args) {
    const std::string id = std::to_string(user);
    args.insert(args.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", vsm_test::testing_binary});
    return vetra_service_manager::platform::process::run_captured(args, std::chrono::seconds(60));
}

// Gives `path`, and all below it, to `owner`.
inline void give(const fs::path& path, uid_t owner) {
    if (::lchown(path.c_str(), owner, owner) != 0) throw std::system_error(errno, std::generic_category(), path.string());
    if (!fs::is_directory(fs::symlink_status(path))) return;
    for (const auto& entry : fs::recursive_directory_iterator(path)) give(entry.path(), owner);
}

}  // namespace vsm_e2e

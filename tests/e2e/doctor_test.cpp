// doctor's findings that need no service manager: the runner, the lock, and on Linux a user
// manager that cannot be reached and lingering that is off.
#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/doctor_findings.hpp"
#include "e2e/e2e_fixture.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"

namespace {

namespace fs = std::filesystem;
using vsm_doctor::finding;
using vsm_test::run_cli;

TEST(Doctor, RunnerThatCannotRunIsNamedWithItsFix) {
    vsm_e2e::World world("Linux");
    const std::tuple<const char*, std::function<void()>, std::string, std::string> cases[] = {
        {"missing", [] {}, "is missing", "put the runner there"},
        {"a directory", [&] { fs::create_directories(world.runner()); }, "is not a regular file", "put the runner there"},
        {"not executable", [&] { vsm_test::write_file(world.runner(), "#!/bin/sh\n"); }, "is not executable",
         "chmod u+x " + world.runner().string()},
    };
    for (const auto& [name, make, fact, fix] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(world.runner());
        make();
        const auto result = run_cli({"doctor", "--json"});
        EXPECT_EQ(result.exit_code, 1);
        const auto runner = finding(result.out, "runner");
        EXPECT_EQ(runner["level"], "problem");
        EXPECT_EQ(runner["service"], nullptr);
        EXPECT_NE(runner["fact"].get<std::string>().find(world.runner().string() + " " + fact), std::string::npos)
            << runner;
        EXPECT_NE(runner["fix"].get<std::string>().find(fix), std::string::npos) << runner;
    }
    // In a directory another user may change, as install would refuse it.
    vsm_test::write_file(world.runner(), "#!/bin/sh\n", fs::perms::owner_all);
    fs::permissions(world.runner().parent_path(), fs::perms::others_write, fs::perm_options::add);
    const auto places = finding(run_cli({"doctor", "--json"}).out, "places");
    EXPECT_EQ(places["level"], "problem");
    EXPECT_NE(places["fact"].get<std::string>().find(world.runner().parent_path().string() + " is writable by others"),
              std::string::npos)
        << places;
    EXPECT_NE(places["fix"].get<std::string>().find("chmod go-w"), std::string::npos) << places;
    fs::permissions(world.runner().parent_path(), fs::perms::others_write, fs::perm_options::remove);
    fs::permissions(world.runner(), fs::perms::owner_exec, fs::perm_options::remove);

    // As text: the mark and the fact, the fix on the line below.
    const auto text = run_cli({"doctor"});
    EXPECT_NE(text.out.find("runner\n  \u2717 the runner " + world.runner().string() + " is not executable\n"
                            "      fix: chmod u+x "),
              std::string::npos)
        << text.out;
}

TEST(Doctor, HeldLockNamesItsHolderWithoutWaiting) {
    vsm_e2e::World world("Linux");
    const fs::path path = world.root() / "run/norvale/vetra_service_manager.lock";
    EXPECT_EQ(finding(run_cli({"doctor", "--json"}).out, "lock")["level"], "ok");
    {
        const auto held = vetra_service_manager::platform::user_lock::acquire(path, std::chrono::seconds(0), [](auto) {});
        const auto lock = finding(run_cli({"doctor", "--json"}).out, "lock");
        EXPECT_EQ(lock["level"], "warning");
        EXPECT_NE(lock["fact"].get<std::string>().find("process " + std::to_string(::getpid()) + " has held the lock"),
                  std::string::npos)
            << lock;
    }
    EXPECT_EQ(finding(run_cli({"doctor", "--json"}).out, "lock")["level"], "ok");
}

// No user manager: why, and how to get one; lingering off says the services stop at logout.
TEST(Doctor, LinuxSessionWithoutManagerOrLingering) {
    vsm_e2e::World world("Linux");
    const std::string user = world.linger_mark().filename().string();
    auto manager = finding(run_cli({"doctor", "--json"}).out, "user manager");
    EXPECT_EQ(manager["level"], "problem");
    EXPECT_NE(manager["fact"].get<std::string>().find("cannot reach the systemd user manager"), std::string::npos);
    EXPECT_NE(manager["fix"].get<std::string>().find("loginctl enable-linger " + user), std::string::npos);
    EXPECT_EQ(finding(run_cli({"doctor", "--json"}).out, "lingering")["level"], "ok");

    fs::remove(world.linger_mark());
    const auto lingering = finding(run_cli({"doctor", "--json"}).out, "lingering");
    EXPECT_EQ(lingering["level"], "warning");
    EXPECT_EQ(lingering["fact"], "lingering is off: services stop when you log out");
    EXPECT_EQ(lingering["fix"], "loginctl enable-linger " + user);

    vsm_test::ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
    manager = finding(run_cli({"doctor", "--json"}).out, "user manager");
    EXPECT_EQ(manager["level"], "problem");
    EXPECT_EQ(manager["fix"], "export XDG_RUNTIME_DIR=/run/user/" + std::to_string(::getuid()));
}

}  // namespace

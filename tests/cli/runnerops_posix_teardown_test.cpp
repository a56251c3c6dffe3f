#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::LogCapture;
using vsm_test::ScopedEnv;
using vsm_test::TempDir;

namespace {

class PosixTeardown : public ::testing::Test {
protected:
    ScopedEnv platform{"VSM_TEST_PLATFORM", "Linux"};
    TempDir dir;
    // Outside everything the teardown deletes, so that it survives to be read.
    fs::path record = dir / "self-remove-argv";
    fs::path data = dir / "data" / "norvale" / "vetra";

    fs::path install_runner(const fs::path& path, const std::string& body = "exit 0") {
        return write_recording_script(path, record, body);
    }
    void fill_data_dir() {
        vsm_test::write_file(data / "logs" / "out.log", "log");
        vsm_test::write_file(data / "state.json", "{}");
    }
};

TEST_F(PosixTeardown, RemovesEnvironmentThenWholeBundleThenDataDirectories) {
    ScopedEnv macos("VSM_TEST_PLATFORM", "Darwin");
    const fs::path bundle = dir / "Applications" / "norvale" / "Vetra Service.app";
    const auto runner = install_runner(bundle / "Contents" / "MacOS" / "vetra_service_runner");
    vsm_test::write_file(bundle / "Contents" / "Info.plist", "<plist/>");
    fill_data_dir();

    LogCapture logs;
    ops::teardown_runner(runner, {data});
    EXPECT_EQ(recorded_args(record), (std::vector<std::string>{"self", "remove"}));
    EXPECT_FALSE(fs::exists(bundle));
    EXPECT_TRUE(fs::exists(bundle.parent_path()));
    EXPECT_FALSE(fs::exists(data));
    EXPECT_TRUE(fs::exists(data.parent_path()));
    EXPECT_EQ(logs.text(), "");
}

// A "*.app" directory above the runner is deleted only on macOS, and only when the runner sits in it
// as we install it: <bundle>.app/Contents/MacOS/vetra_service_runner beside Contents/Info.plist.
TEST_F(PosixTeardown, OnlyABundleOfOursIsDeletedWithTheRunner) {
    struct Case {
        const char* platform;
        const char* runner;  // below the candidate bundle "Work.app"
        bool info_plist, bundle_deleted;
    };
    const Case cases[] = {
        {"Darwin", "Contents/MacOS/vetra_service_runner", true, true},
        {"Darwin", "Contents/MacOS/vetra_service_runner", false, false},
        {"Darwin", "Contents/Resources/vetra_service_runner", true, false},
        {"Darwin", "Contents/MacOS/Work", true, false},
        {"Darwin", "data/norvale/services/vetra_service_runner", true, false},
        {"Linux", "Contents/MacOS/vetra_service_runner", true, false},
        {"Linux", "data/norvale/services/vetra_service_runner", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.platform) + " " + c.runner);
        ScopedEnv platform_name("VSM_TEST_PLATFORM", c.platform);
        const fs::path bundle = dir / "Work.app";
        const auto runner = install_runner(bundle / c.runner);
        if (c.info_plist) vsm_test::write_file(bundle / "Contents" / "Info.plist", "<plist/>");
        vsm_test::write_file(bundle / "unrelated", "kept");
        ops::teardown_runner(runner, {});
        EXPECT_EQ(fs::exists(bundle), !c.bundle_deleted);
        EXPECT_FALSE(fs::exists(runner));
        fs::remove_all(bundle);
    }
}

TEST_F(PosixTeardown, RemovesBareRunnerAlone) {
    const auto runner = install_runner(dir / "bin" / "vetra_service_runner");
    vsm_test::write_file(dir / "bin" / "neighbour", "stays");
    ops::teardown_runner(runner, {});
    EXPECT_EQ(recorded_args(record), (std::vector<std::string>{"self", "remove"}));
    EXPECT_FALSE(fs::exists(runner));
    EXPECT_TRUE(fs::exists(dir / "bin" / "neighbour"));
}

TEST_F(PosixTeardown, RunnerInsideDataDirectoryGoesWithIt) {
    fill_data_dir();
    const auto runner = install_runner(data / "bin" / "vetra_service_runner");
    const fs::path other = dir / "other-data";
    vsm_test::write_file(other / "x", "x");
    ops::teardown_runner(runner, {data, dir / "never-existed", other});
    EXPECT_FALSE(fs::exists(data));
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(PosixTeardown, FailingSelfRemoveDoesNotStopTheRest) {
    const auto runner = install_runner(dir / "bin" / "vetra_service_runner", "exit 1");
    fill_data_dir();
    LogCapture logs;
    ops::teardown_runner(runner, {data});
    EXPECT_EQ(logs.lines(),
              std::vector<std::string>{warning("'" + runner.string() + " self remove' failed: exit status 1")});
    EXPECT_FALSE(fs::exists(runner));
    EXPECT_FALSE(fs::exists(data));
}

TEST_F(PosixTeardown, MissingRunnerIsSkippedQuietly) {
    fill_data_dir();
    LogCapture logs;
    ops::teardown_runner(dir / "Vetra Service.app" / "Contents" / "MacOS" / "vetra_service_runner", {data});
    EXPECT_FALSE(fs::exists(record));
    EXPECT_FALSE(fs::exists(data));
    EXPECT_EQ(logs.text(), "");
}

TEST_F(PosixTeardown, FlagsLimitWhatIsDone) {
    const auto runner = install_runner(dir / "bin" / "vetra_service_runner");
    fill_data_dir();

    ops::teardown_runner(runner, {data}, /*do_self_remove=*/false, /*remove_binary=*/false);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_TRUE(fs::exists(runner));
    EXPECT_TRUE(fs::exists(data / "state.json"));

    ops::teardown_runner(runner, {data}, /*do_self_remove=*/true, /*remove_binary=*/false);
    EXPECT_TRUE(fs::exists(record));
    EXPECT_TRUE(fs::exists(runner));
    EXPECT_TRUE(fs::exists(data / "state.json"));

    fs::remove(record);
    ops::teardown_runner(runner, {data}, /*do_self_remove=*/false, /*remove_binary=*/true);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_FALSE(fs::exists(runner));
    EXPECT_FALSE(fs::exists(data));
}

TEST_F(PosixTeardown, RunnerThatCannotStartStopsBeforeAnythingIsDeleted) {
    const fs::path runner = dir / "bin" / "vetra_service_runner";
    vsm_test::write_file(runner, "not a program");
    fill_data_dir();
    EXPECT_THROW(ops::teardown_runner(runner, {data}), vetra_service_manager::platform::process::StartError);
    EXPECT_TRUE(fs::exists(runner));
    EXPECT_TRUE(fs::exists(data / "state.json"));
}

TEST_F(PosixTeardown, RunnerThatCannotBeDeletedIsReportedAndDataStillGoes) {
    // A directory where the runner file should be: unlink refuses it, whoever we are.
    const fs::path runner = dir / "bin" / "vetra_service_runner";
    fs::create_directories(runner / "inside");
    fill_data_dir();
    EXPECT_EQ(ops::teardown_runner(runner, {data}, /*do_self_remove=*/false),
              std::vector<std::string>{runner.string() + ": Is a directory"});
    EXPECT_TRUE(fs::exists(runner / "inside"));
    EXPECT_FALSE(fs::exists(data));
}

TEST_F(PosixTeardown, UndeletablePartsOfADataDirectoryAreLeftAndNamedAndTheRestGoes) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    fill_data_dir();
    const fs::path locked = data / "locked";
    vsm_test::write_file(locked / "kept", "k");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path other = dir / "other-data";
    vsm_test::write_file(other / "x", "x");
    EXPECT_EQ(ops::teardown_runner(dir / "missing-runner", {data, other}),
              std::vector<std::string>{(locked / "kept").string() + ": Permission denied"});
    EXPECT_TRUE(fs::exists(locked / "kept"));
    EXPECT_FALSE(fs::exists(data / "state.json"));
    EXPECT_FALSE(fs::exists(data / "logs"));
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(PosixTeardown, SymbolicLinksInsideADataDirectoryAreNotFollowed) {
    const fs::path outside = dir / "outside";
    vsm_test::write_file(outside / "precious", "p");
    fill_data_dir();
    fs::create_directory_symlink(outside, data / "link");
    ops::teardown_runner(dir / "missing-runner", {data});
    EXPECT_FALSE(fs::exists(data));
    EXPECT_TRUE(fs::exists(outside / "precious"));
}

}  // namespace

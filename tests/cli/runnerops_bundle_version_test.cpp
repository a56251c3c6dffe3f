#include <gtest/gtest.h>

#include "cli/fake_programs.hpp"
#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;
using namespace runnerops_test;
using vsm_test::ScopedEnv;
using vsm_test::TempDir;

namespace {

TEST(BundleRootFor, InnermostAppComponentLexically) {
    const struct {
        const char* runner;
        std::optional<std::string> root;
    } cases[] = {
        {"/Users/u/Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner",
         "/Users/u/Applications/norvale/Vetra Service.app"},
        {"/A/Outer.app/Contents/Resources/Inner.app/Contents/MacOS/r", "/A/Outer.app/Contents/Resources/Inner.app"},
        {"/opt/runner.app", "/opt/runner.app"},
        {"/x/Y.app/", "/x/Y.app"},
        {"..app/r", "..app"},
        {"rel/Vetra.app/Contents/MacOS/r", "rel/Vetra.app"},
        {"/Applications/Vetra Service.app.previous/Contents/MacOS/r", std::nullopt},
        {"/Applications/X.APP/Contents/MacOS/r", std::nullopt},
        {"/Applications/.app/Contents/MacOS/r", std::nullopt},
        {"/home/u/.local/share/norvale/vetra/vetra_service_runner", std::nullopt},
        {"/", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"bin/vetra_service_runner", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto root = ops::bundle_root_for(c.runner);
        EXPECT_EQ(root ? std::optional<std::string>(root->string()) : std::nullopt, c.root) << c.runner;
    }
}

// A bundle on disk and a fake plutil first on PATH that records its arguments, then runs `body`.
class BundleVersion : public ::testing::Test {
protected:
    TempDir dir;
    fs::path bin = dir / "bin";
    fs::path record = dir / "plutil-argv";
    fs::path bundle = dir / "Vetra Service.app";
    fs::path runner = bundle / "Contents" / "MacOS" / "vetra_service_runner";
    fs::path plist = bundle / "Contents" / "Info.plist";
    ScopedEnv path{"PATH", bin.string() + ":" + vetra_service_manager::platform::env("PATH").value_or("/usr/bin:/bin")};

    void SetUp() override {
        fs::create_directories(bin);
        vsm_test::write_file(plist, "<plist/>");
    }
    void plutil(const std::string& body) { write_recording_script(bin / "plutil", record, body); }
};

TEST_F(BundleVersion, ReadsAndStripsTheVersion) {
    plutil(R"(printf ' 1.4.2\n')");
    EXPECT_EQ(ops::bundle_version_for_runner(runner), "1.4.2");
    EXPECT_EQ(recorded_args(record),
              (std::vector<std::string>{"-extract", "CFBundleVersion", "raw", "-o", "-", plist.string()}));
}

TEST_F(BundleVersion, ExpectedFailuresAreAbsent) {
    const struct {
        const char* name;
        std::string body;
    } cases[] = {
        {"only white space", "printf '  \\n'"},
        {"nothing printed", "exit 0"},
        {"key missing", "echo 'Could not extract value' >&2; exit 1"},
    };
    for (const auto& c : cases) {
        plutil(c.body);
        EXPECT_EQ(ops::read_cfbundle_version(bundle), std::nullopt) << c.name;
    }
}

TEST_F(BundleVersion, NoPropertyListStartsNothing) {
    plutil("echo 9.9");
    fs::remove(plist);
    EXPECT_EQ(ops::read_cfbundle_version(bundle), std::nullopt);
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(BundleVersion, MissingPlutilIsAbsentButUnrunnablePlutilIsAnError) {
    {
        ScopedEnv only_empty("PATH", (dir / "empty").string());
        EXPECT_EQ(ops::read_cfbundle_version(bundle), std::nullopt);
    }
    vsm_test::write_file(bin / "plutil", "#!/bin/bash\necho 1.0\n");  // not executable
    EXPECT_THROW(ops::read_cfbundle_version(bundle), vetra_service_manager::platform::process::StartError);
}

}  // namespace

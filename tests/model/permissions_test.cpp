// The Full Disk Access probe: what counts as granted, denied or missing, and what is not its business.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/permissions.hpp"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using vetra_service_manager::permissions::check_full_disk_access;
using vetra_service_manager::permissions::open_full_disk_access_settings;
using vsm_test::ScopedEnv;

TEST(FullDiskAccess, OutsideMacOSAlwaysGrantedAndSilent) {
    for (const char* name : {"Linux", "Windows"}) {
        ScopedEnv platform("VSM_TEST_PLATFORM", name);
        vsm_test::LogCapture logs;
        EXPECT_TRUE(check_full_disk_access(fs::path("/definitely/not/here")));
        EXPECT_TRUE(check_full_disk_access());
        EXPECT_TRUE(logs.lines().empty());
    }
}

TEST(FullDiskAccess, ListableDirectoriesAreGrantedEvenWhenEmpty) {
    ScopedEnv platform("VSM_TEST_PLATFORM", "Darwin");
    vsm_test::TempDir dir;
    EXPECT_TRUE(check_full_disk_access(dir.path()));
    vsm_test::write_file(dir / "entry", "x");
    EXPECT_TRUE(check_full_disk_access(dir.path()));
}

TEST(FullDiskAccess, MissingProbeIsDeniedWithOneWarning) {
    ScopedEnv platform("VSM_TEST_PLATFORM", "Darwin");
    vsm_test::TempDir dir;
    vsm_test::LogCapture logs;
    EXPECT_FALSE(check_full_disk_access(dir / "Safari"));
    EXPECT_THAT(logs.lines(), ElementsAre("warning vetra_service_manager.permissions: FDA probe path does not exist: " +
                                          (dir / "Safari").string()));
}

TEST(FullDiskAccess, UnreadableProbeIsDeniedAtDebugLevel) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any directory";
    ScopedEnv platform("VSM_TEST_PLATFORM", "Darwin");
    vsm_test::TempDir dir;
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::none);
    vsm_test::LogCapture logs;
    EXPECT_FALSE(check_full_disk_access(dir / "locked"));
    EXPECT_THAT(logs.lines(), ElementsAre("debug vetra_service_manager.permissions: Full Disk Access denied for probe "
                                          "path: " + (dir / "locked").string()));
}

TEST(FullDiskAccess, RegularFileIsAnErrorForTheCaller) {
    ScopedEnv platform("VSM_TEST_PLATFORM", "Darwin");
    vsm_test::TempDir dir;
    vsm_test::write_file(dir / "file", "x");
    EXPECT_THROW(check_full_disk_access(dir / "file"), fs::filesystem_error);
}

TEST(FullDiskAccess, SettingsOpenerStartsNothingOutsideMacOS) {
    vsm_test::TempDir dir;
    vsm_test::write_script(dir / "open", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/called\"\n");
    ScopedEnv path("PATH", dir.path().string() + ":/usr/bin:/bin");
    {
        ScopedEnv platform("VSM_TEST_PLATFORM", "Linux");
        open_full_disk_access_settings();
        EXPECT_FALSE(fs::exists(dir / "called"));
    }
    ScopedEnv platform("VSM_TEST_PLATFORM", "Darwin");
    open_full_disk_access_settings();
    EXPECT_EQ(vsm_test::read_file(dir / "called"),
              "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles\n");
}

}  // namespace

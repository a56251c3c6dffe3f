// Service directory and runner location on every platform, through the platform seam.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/services/_paths.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vetra_service_manager::services::_paths;
using vsm_test::ScopedEnv;

struct Environment {
    ScopedEnv home{"HOME", "/home/ana"};
    ScopedEnv platform;
    ScopedEnv xdg;
    ScopedEnv local;
    Environment(const char* name, std::optional<std::string> xdg_value, std::optional<std::string> local_value)
        : platform("VSM_TEST_PLATFORM", name),
          xdg("XDG_DATA_HOME", std::move(xdg_value)),
          local("LOCALAPPDATA", std::move(local_value)) {}
};

struct ServiceDirCase {
    const char* platform;
    std::optional<std::string> xdg, local;
    const char* expected;
};

TEST(ServiceDir, FollowsEachPlatformsConvention) {
    const ServiceDirCase cases[] = {
        {"Darwin", "/data", "C:/Local", "/home/ana/Library/Application Support/norvale/services"},
        {"Linux", "/data", std::nullopt, "/data/norvale/services"},
        {"Linux", std::nullopt, std::nullopt, "/home/ana/.local/share/norvale/services"},
        {"Linux", "", std::nullopt, "/home/ana/.local/share/norvale/services"},
        // A relative value would be relative to wherever the command runs: invalid, as if unset.
        {"Linux", "rel/data", std::nullopt, "/home/ana/.local/share/norvale/services"},
        {"Windows", "/data", "/c/Users/ana/AppData/Local", "/c/Users/ana/AppData/Local/norvale/services"},
    };
    for (const auto& c : cases) {
        Environment env(c.platform, c.xdg, c.local);
        EXPECT_EQ(get_service_dir(), fs::path(c.expected)) << c.platform;
    }
}

TEST(ServiceDir, WindowsWithoutLocalAppDataFailsNamingTheVariable) {
    for (std::optional<std::string> local : {std::optional<std::string>{}, std::optional<std::string>{""},
                                             std::optional<std::string>{"AppData/Local"}}) {
        Environment env("Windows", std::nullopt, local);
        try {
            get_service_dir();
            FAIL() << "expected MissingEnvironmentVariable";
        } catch (const MissingEnvironmentVariable& error) {
            EXPECT_STREQ(error.what(), "Environment variable LOCALAPPDATA is not set to an absolute path");
        }
        EXPECT_THROW(ensure_service_dir(), MissingEnvironmentVariable);
    }
}

TEST(ServiceDir, EnsureCreatesItForTheUserAloneWhateverTheUmask) {
    vsm_test::TempDir tmp;
    Environment env("Linux", (tmp / "deep" / "data").string(), std::nullopt);
    const mode_t previous = ::umask(0);
    const fs::path dir = ensure_service_dir();
    ::umask(previous);
    for (fs::path created = dir; created != tmp.path(); created = created.parent_path()) {
        EXPECT_EQ(fs::status(created).permissions(), fs::perms::owner_all) << created;
    }
}

TEST(ServiceDir, AnExistingOneOthersMayWriteIsRefused) {
    vsm_test::TempDir tmp;
    Environment env("Linux", tmp.path().string(), std::nullopt);
    const fs::path dir = tmp / "norvale" / "services";
    fs::create_directories(dir);
    const std::string refused = "Refusing to use " + dir.string() + ": " + dir.string();
    for (auto [mode, reason] : {std::pair{0755, ""}, {0775, " is writable by its group"}, {0757, " is writable by others"},
                                {0700, ""}}) {
        fs::permissions(dir, fs::perms(mode));
        try {
            ensure_service_dir();
            EXPECT_EQ(reason, std::string()) << std::oct << mode;
        } catch (const vetra_service_manager::platform::files::UnsafeDirectory& error) {
            EXPECT_EQ(error.what(), refused + reason) << std::oct << mode;
        }
    }
}

TEST(ServiceDir, OtherPlatformNamesAreUnsupported) {
    for (const char* name : {"FreeBSD", "darwin", "linux"}) {
        Environment env(name, std::nullopt, std::nullopt);
        try {
            get_service_dir();
            FAIL() << name;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), std::string("Unsupported platform: ") + name);
        }
    }
}

TEST(ServiceDir, EnsureCreatesParentsAndIsRepeatable) {
    vsm_test::TempDir tmp;
    Environment env("Linux", (tmp / "deep" / "data").string(), std::nullopt);
    const fs::path first = ensure_service_dir();
    EXPECT_TRUE(fs::is_directory(first));
    EXPECT_EQ(ensure_service_dir(), first);

    vsm_test::write_file(tmp / "file", "x");
    ScopedEnv blocked("XDG_DATA_HOME", (tmp / "file").string());
    EXPECT_THROW(ensure_service_dir(), fs::filesystem_error);
}

TEST(RunnerLocation, AllThreePathsOnAnyPlatform) {
    for (const char* name : {"Darwin", "Linux", "Windows", "FreeBSD"}) {
        Environment env(name, "/data", "/local");
        const auto where = default_runner_install_location();
        EXPECT_EQ(where.darwin,
                  fs::path("/home/ana/Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner"));
        EXPECT_EQ(where.linux, fs::path("/data/norvale/services/vetra_service_runner"));
        EXPECT_EQ(where.windows, fs::path("/local/norvale/services/vetra_service_runner.exe"));
    }
}

TEST(RunnerLocation, EmptyRelativeOrMissingVariablesFallBackToHome) {
    for (std::optional<std::string> value :
         {std::optional<std::string>{}, std::optional<std::string>{""}, std::optional<std::string>{"rel"}}) {
        Environment env("Windows", value, value);
        const auto where = default_runner_install_location();
        EXPECT_EQ(where.linux, fs::path("/home/ana/.local/share/norvale/services/vetra_service_runner"));
        EXPECT_EQ(where.windows, fs::path("/home/ana/AppData/Local/norvale/services/vetra_service_runner.exe"));
    }
}

TEST(HomeDirectory, OnlyAnAbsoluteHomeCountsElseThePasswordDatabase) {
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_TRUE(entry && entry->pw_dir && entry->pw_dir[0] == '/');
    for (std::optional<std::string> home : {std::optional<std::string>{}, std::optional<std::string>{""},
                                            std::optional<std::string>{"."}, std::optional<std::string>{"rel/home"}}) {
        ScopedEnv env("HOME", home);
        EXPECT_EQ(vetra_service_manager::platform::home_dir(), fs::path(entry->pw_dir)) << home.value_or("unset");
    }
}

TEST(RunnerLocation, ResolvePicksTheRunningPlatform) {
    const std::pair<const char*, const char*> cases[] = {
        {"Darwin", "/home/ana/Applications/norvale/Vetra Service.app/Contents/MacOS/vetra_service_runner"},
        {"Linux", "/data/norvale/services/vetra_service_runner"},
        {"Windows", "/local/norvale/services/vetra_service_runner.exe"},
    };
    for (const auto& [name, expected] : cases) {
        Environment env(name, "/data", "/local");
        EXPECT_EQ(default_runner_install_location().resolve(), fs::path(expected)) << name;
    }
}

}  // namespace

// install and uninstall end to end against the launchctl simulator, which really runs the agent.
#include <algorithm>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "backends/launchd/launchd_fixture.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/services/registry.hpp"

namespace vsm_test {
namespace {

using namespace vetra_service_manager;
namespace ex = vetra_service_manager::exceptions;

// The written property list, parsed with libplist itself: key -> (node type, XML of the value).
struct ReadBack {
    std::map<std::string, plist_type> types;
    std::map<std::string, std::string> strings;
    std::vector<std::string> program_arguments;
    uint64_t throttle_interval = 0;
    bool keep_alive = false, run_at_load = false;
};

ReadBack read_back(const fs::path& path) {
    const std::string xml = read_file(path);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ReadBack result;
    if (!root) return result;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, it, &key, &value);
        if (!key) break;
        const plist_type type = plist_get_node_type(value);
        result.types[key] = type;
        if (type == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            result.strings[key] = text;
            std::free(text);
        }
        std::free(key);
    }
    std::free(it);
    if (plist_t array = plist_dict_get_item(root, "ProgramArguments"); array && plist_get_node_type(array) == PLIST_ARRAY) {
        for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
            char* text = nullptr;
            plist_get_string_val(plist_array_get_item(array, i), &text);
            result.program_arguments.emplace_back(text ? text : "");
            std::free(text);
        }
    }
    uint8_t flag = 0;
    plist_get_bool_val(plist_dict_get_item(root, "KeepAlive"), &flag);
    result.keep_alive = flag;
    plist_get_bool_val(plist_dict_get_item(root, "RunAtLoad"), &flag);
    result.run_at_load = flag;
    plist_get_uint_val(plist_dict_get_item(root, "ThrottleInterval"), &result.throttle_interval);
    plist_free(root);
    return result;
}

class MacOSInstallTest : public LaunchdTest {
protected:
};

TEST_F(MacOSInstallTest, WritesTheAgentAndStartsTheProgramWithItsExactArguments) {
    const std::vector<std::string> arguments{agent_program().string(), "serve", "two words", "it's \"quoted\"",
                                             "$HOME `id` $(id)", "line\nbreak", "carriage\rreturn", "tab\there",
                                             "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", "", "a && b > c < d"};
    auto m = manager();
    LogCapture log;
    m.install(arguments, Version("1.4.2"));

    const auto written = read_back(plist);
    EXPECT_EQ(written.types, (std::map<std::string, plist_type>{
                                 {"KeepAlive", PLIST_BOOLEAN}, {"Label", PLIST_STRING},
                                 {"ProgramArguments", PLIST_ARRAY}, {"RunAtLoad", PLIST_BOOLEAN},
                                 {"StandardErrorPath", PLIST_STRING}, {"StandardOutPath", PLIST_STRING},
                                 {"ThrottleInterval", PLIST_UINT}, {"Version", PLIST_STRING},
                                 {"WorkingDirectory", PLIST_STRING}}));
    EXPECT_EQ(written.strings.at("Label"), LABEL);
    EXPECT_EQ(written.strings.at("Version"), "1.4.2");
    EXPECT_EQ(written.strings.at("WorkingDirectory"), app_dir.string());
    EXPECT_EQ(written.strings.at("StandardOutPath"), (log_dir / "out.log").string());
    EXPECT_EQ(written.strings.at("StandardErrorPath"), (log_dir / "err.log").string());
    EXPECT_TRUE(written.keep_alive);
    EXPECT_TRUE(written.run_at_load);
    EXPECT_EQ(written.throttle_interval, 60u);
    EXPECT_EQ(written.program_arguments,
              backends::launchd::macos::_build_program_arguments_with_log_rotation(arguments, log_dir / "out.log",
                                                                          log_dir / "err.log"));
    // Keys sorted, as launchd's own tools write them.
    const std::string xml = read_file(plist);
    EXPECT_LT(xml.find("<key>KeepAlive</key>"), xml.find("<key>WorkingDirectory</key>"));
    EXPECT_EQ(fs::status(plist).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

    // The agent ran through launchd's bash preflight in the working directory with exactly these arguments.
    std::vector<std::string> expected_record{app_dir.string()};
    expected_record.insert(expected_record.end(), arguments.begin() + 1, arguments.end());
    EXPECT_EQ(agent_record(), expected_record);
    EXPECT_TRUE(eventually([&] { return read_file(log_dir / "out.log") == "started\n"; }));

    EXPECT_EQ(m.status(), (ServiceStatus{InstallationStatus::INSTALLED, EnablementStatus::ENABLED,
                                         RunningStatus::RUNNING}));
    EXPECT_EQ(m.version(), Version("1.4.2"));
    // One bootstrap, then the wait asks whether the agent runs (as often as the agent takes to come
    // up); enable() found the label enabled already.
    const auto calls = subcommands();
    const auto bootstrap = std::find(calls.begin(), calls.end(), "bootstrap");
    ASSERT_NE(bootstrap, calls.end());
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "bootstrap"), 1);
    EXPECT_EQ(std::next(bootstrap) != calls.end() ? *std::next(bootstrap) : "", "print");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "enable"), 0);
    const auto lines = log.lines();
    EXPECT_TRUE(lines.front().starts_with("info vetra_service_manager.backends.launchd.macos: Installing service: demo_service, "
                                          "version: 1.4.2 with args: ["))
        << lines.front();
    EXPECT_NE(log.text().find("info vetra_service_manager.backends.launchd.macos: Successfully installed and started service: "
                              "demo_service\n"),
              std::string::npos);
}

TEST_F(MacOSInstallTest, InstalledServiceIsLeftAsItIs) {
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    const std::string before = read_file(plist);
    LogCapture log;
    m.install({agent_program().string(), "other"}, Version("2.0"));
    EXPECT_EQ(read_file(plist), before);
    EXPECT_EQ(m.version(), Version("1.0"));
    EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: Service is already installed, skipping"),
              std::string::npos);
    EXPECT_THROW(m.install({agent_program().string()}, Version("2.0"), true), ex::ServiceAlreadyInstalledError);
}

// A property list left behind (never loaded, or the agent disabled since) gives no running agent
// by itself: install brings it up, and says so when it cannot.
TEST_F(MacOSInstallTest, InstalledAgentIsBroughtUpOrReportedAsNotStarting) {
    struct Case {
        const char* name;
        std::function<void(backends::launchd::macos::MacOSServiceManager&)> arrange;
        bool starts;
    };
    const std::vector<Case> cases = {
        {"not loaded", [](auto& m) { m.stop(); }, true},
        {"disabled", [](auto& m) { m.disable(); }, true},
        {"refused by launchd",
         [&](auto& m) {
             m.stop();
             queue("bootstrap", "5 Bootstrap failed: 5: Input/output error");
             queue("bootstrap", "5 Bootstrap failed: 5: Input/output error");
         },
         false},
    };
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(m);
        try {
            m.install({agent_program().string()}, Version("1.0"));
            EXPECT_TRUE(c.starts);
        } catch (const ServiceOperationError& error) {
            EXPECT_FALSE(c.starts) << error.what();
            EXPECT_EQ(error.operation(), ServiceOperation::START);
        }
        EXPECT_EQ(m.status().running_status == RunningStatus::RUNNING, c.starts);
        EXPECT_TRUE(fs::exists(plist));
    }
}

TEST_F(MacOSInstallTest, UninstallRemovesEverythingAndReinstallClearsTheDisabledMark) {
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    const auto pid = agent_pid();
    ASSERT_TRUE(pid);
    forget_calls();

    m.uninstall();
    EXPECT_FALSE(fs::exists(plist));
    EXPECT_FALSE(fs::exists(log_dir));
    EXPECT_TRUE(fs::exists(app_dir));
    EXPECT_FALSE(loaded());
    EXPECT_FALSE(process_alive(*pid));
    EXPECT_EQ(read_file(state / "marks" / LABEL), "disabled\n");
    EXPECT_EQ(subcommands(), (std::vector<std::string>{
                                 "print-disabled", "print",                       // uninstall's reading
                                 "print-disabled", "print", "bootout",            // stop()
                                 "print",                                         // its wait
                                 "print-disabled", "print",                       // what the stop left
                                 "print-disabled", "print", "disable"}));        // disable()'s one reading
    EXPECT_EQ(m.status().installation_status, InstallationStatus::NOT_INSTALLED);

    forget_calls();
    m.install({agent_program().string()}, Version("1.1"));
    const auto runs = subcommands();
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "enable"), 1);
    EXPECT_EQ(m.status(), (ServiceStatus{InstallationStatus::INSTALLED, EnablementStatus::ENABLED,
                                         RunningStatus::RUNNING}));
}

TEST_F(MacOSInstallTest, UninstallOfLoadedButStoppedAgentOnlyDisablesAndDeletes) {
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    ::kill(*agent_pid(), SIGKILL);
    ASSERT_TRUE(eventually([&] { return m.status().running_status == RunningStatus::NOT_RUNNING; }));
    forget_calls();
    m.uninstall();
    const auto runs = subcommands();
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "bootout"), 0);
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "disable"), 1);
    EXPECT_FALSE(fs::exists(plist));
    EXPECT_FALSE(fs::exists(log_dir));
}

TEST_F(MacOSInstallTest, UninstallOfAbsentServiceTouchesNothing) {
    fs::create_directories(log_dir);
    auto m = manager();
    LogCapture log;
    m.uninstall();
    EXPECT_THROW(m.uninstall(true), ex::ServiceNotInstalledError);
    EXPECT_TRUE(fs::exists(log_dir));
    EXPECT_TRUE(calls().empty());
    EXPECT_NE(log.text().find("info vetra_service_manager.backends.launchd.macos: Service demo_service is not installed\n"),
              std::string::npos);
    EXPECT_NE(log.text().find("debug vetra_service_manager.backends.launchd.macos: Service is not installed, skipping\n"),
              std::string::npos);
}

// Every failure inside install is cleaned up: no property list stays behind, and the error names
// the operation that failed.
TEST_F(MacOSInstallTest, FailedInstallLeavesNoPropertyList) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        ServiceOperation expected;
        std::string message_start;
        std::string extra_argument = {};
    };
    const std::vector<Case> cases = {
        {"enable fails",
         [&] {
             mark(LABEL, "disabled");
             queue("enable", "1 Not privileged to enable service");
         },
         ServiceOperation::ENABLE, "Failed to enable the service: Not privileged to enable service"},
        {"bootstrap fails twice",
         [&] {
             queue("bootstrap", "5 Bootstrap failed: 5: Input/output error");
             queue("bootstrap", "5 Bootstrap failed: 5: Input/output error (again)");
         },
         ServiceOperation::START, "Failed to start the service: Bootstrap failed: 5: Input/output error (again)"},
        // launchd ran it, and would call it started: only its staying up tells.
        {"the agent ends soon after its bootstrap", [&] { write_file(state / "exit" / LABEL, "0.3 3\n"); },
         ServiceOperation::START,
         "Failed to start the service: demo_service did not stay up for 1 s after its start: launchd reports state "
         "\"not running\", last exit code 3"},
        {"LaunchAgents cannot be created", [&] { write_file(plist.parent_path(), "a file, not a directory\n"); },
         ServiceOperation::INSTALL, "Installation failed: "},
        {"an argument XML cannot carry", [] {}, ServiceOperation::INSTALL,
         "Installation failed: The value of ProgramArguments contains a control character (code 1)", "bell\x01"},
        // launchd would refuse the whole file and only the bootstrap would tell.
        {"an argument that is no UTF-8", [] {}, ServiceOperation::INSTALL,
         "Installation failed: The value of ProgramArguments is not valid UTF-8: /Users/j\\xFCrg/\xC3\xA9\\xED\\xA0\\x80",
         "/Users/j\xFCrg/\xC3\xA9\xED\xA0\x80"},
        {"a noncharacter XML excludes", [] {}, ServiceOperation::INSTALL,
         "Installation failed: The value of ProgramArguments contains U+FFFF, which an XML property list cannot hold: "
         "a\xEF\xBF\xBF",
         "a\xEF\xBF\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home);
        fs::remove_all(state);
        fs::create_directories(state);
        c.arrange();
        std::vector<std::string> arguments{agent_program().string()};
        if (!c.extra_argument.empty()) arguments.push_back(c.extra_argument);
        auto m = manager();
        LogCapture log;
        try {
            m.install(arguments, Version("1.0"));
            ADD_FAILURE() << "no error";
        } catch (const ServiceOperationError& error) {
            EXPECT_EQ(error.operation(), c.expected);
            EXPECT_TRUE(std::string(error.what()).starts_with(c.message_start)) << error.what();
            if (c.expected == ServiceOperation::INSTALL) {
                EXPECT_NE(dynamic_cast<const std::nested_exception*>(&error), nullptr);
            }
        }
        EXPECT_FALSE(fs::is_regular_file(plist));
        if (fs::is_directory(plist.parent_path())) {
            for (const auto& entry : fs::directory_iterator(plist.parent_path())) {
                EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
            }
        }
        // At most the failing step's own line: passing the failure on logs nothing more.
        const auto logged = split_lines(log.text());
        EXPECT_LE(std::count_if(logged.begin(), logged.end(), [](const auto& line) { return line.starts_with("error "); }), 1)
            << log.text();
        EXPECT_FALSE(loaded());
    }
}

TEST_F(MacOSInstallTest, BootstrapThatFailsOnceIsRetriedAfterOneSecond) {
    queue("bootstrap", "5 Bootstrap failed: 5: Input/output error");
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    const auto times = call_times("bootstrap");
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[1] - times[0], 0.95);
    EXPECT_EQ(m.status().running_status, RunningStatus::RUNNING);
}

// A failed clean-up does not hide the failure that caused it.
TEST_F(MacOSInstallTest, LaunchctlThatCannotStartIsReportedAsAnInstallError) {
    ScopedEnv no_launchctl("PATH", (tmp / "empty").string());
    auto m = manager();
    LogCapture log;
    try {
        m.install({"/bin/true"}, Version("1.0"));
        FAIL() << "no error";
    } catch (const ServiceOperationError& error) {
        EXPECT_EQ(error.operation(), ServiceOperation::INSTALL);
        EXPECT_TRUE(std::string(error.what()).starts_with("Installation failed: Cannot start launchctl")) << error.what();
        try {
            std::rethrow_if_nested(error);
            ADD_FAILURE() << "no cause";
        } catch (const platform::process::StartError&) {
        }
    }
    EXPECT_NE(log.text().find("error vetra_service_manager.backends.launchd.macos: Cleanup after the failed installation failed "
                              "too: Cannot start launchctl"),
              std::string::npos);
}

// Oversized logs are cut at the launch, and the agent's output still lands in the cut file.
TEST_F(MacOSInstallTest, OversizedLogIsTrimmedAtLaunch) {
    auto pattern = [](std::size_t size) {
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 13 + i / 1000) % 26);
        return text;
    };
    const std::string over = pattern(backends::launchd::macos::LOG_SIZE_LIMIT_BYTES + 1);
    const std::string at = pattern(backends::launchd::macos::LOG_SIZE_LIMIT_BYTES);
    write_file(log_dir / "out.log", over);
    write_file(log_dir / "err.log", at);
    auto m = manager();
    m.install({agent_program().string()}, Version("1.0"));
    const std::string kept = over.substr(over.size() - backends::launchd::macos::LOG_KEEP_BYTES);
    EXPECT_TRUE(eventually([&] { return read_file(log_dir / "out.log") == kept + "started\n"; }));
    EXPECT_TRUE(read_file(log_dir / "err.log") == at);
}

TEST_F(MacOSInstallTest, RegistryHandsOutTheLaunchdBackendOnMacOSOnly) {
    const auto handle = services::registry::sync_agent.get_service(services::registry::command());
    const auto* backend = dynamic_cast<const backends::launchd::macos::MacOSServiceManager*>(&handle.backend());
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->bundle_identifier(), "com.norvale.vetra_sync_agent");
    EXPECT_EQ(backend->app_dir(), home / "Library" / "Application Support" / "norvale" / "services");
    EXPECT_EQ(handle.status().installation_status, InstallationStatus::NOT_INSTALLED);
    EXPECT_TRUE(calls().empty());

    ScopedEnv linux_platform("VSM_TEST_PLATFORM", "Linux");
    const auto other = services::registry::sync_api.get_service(services::registry::command());
    EXPECT_EQ(dynamic_cast<const backends::launchd::macos::MacOSServiceManager*>(&other.backend()), nullptr);
}

}  // namespace
}  // namespace vsm_test

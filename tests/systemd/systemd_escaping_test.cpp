// Hostile arguments and working directories go through the unit file and systemd's own parser
// and reach the program byte for byte.
#include <random>

#include <gtest/gtest.h>

#include "e2e/e2e_fixture.hpp"
#include "systemd/user_manager.hpp"
#include "vetra_service_manager/backends/systemd/linux.hpp"

namespace {

namespace fs = std::filesystem;
using vetra_service_manager::backends::systemd::linux::LinuxServiceManager;

std::vector<std::string> hostile_arguments() {
    std::vector<std::string> arguments{"",      " ",     "\t",     ";",       "\\;",    "a;b",   "%n",      "%%",
                                       "%",     "$HOME", "${X}",   "$$",      "$",      "\"",    "'",       "\"q\" 'q'",
                                       "\\",    "\\\\",  "a\\",    "\\n",     "\\x41",  "é",     "日本語", "tab\tin",
                                       "\x01",  "\x7f",  "-x",     "@x",      "+x",     "!x",    "!!x",     ":x",
                                       "#x",    "=x",    "x y  z", " lead",   "trail ", "{}",    "*?[]",    "`id`"};
    for (char c = '!'; c <= '~'; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(c))) arguments.emplace_back(1, c);
    }
    // Random mixtures of what is special anywhere in a unit file, from a fixed seed.
    static const std::vector<std::string> alphabet{" ", "\t", "\"", "'", "\\", "%", "$", ";", "{", "}", "#",
                                                   "=", "-", "@", "+", "!", ":", "a", "Z", "9", "é", "語"};
    std::mt19937 random(20261208);
    for (int i = 0; i < 250; ++i) {
        std::string argument;
        const int length = 1 + static_cast<int>(random() % 12);
        for (int k = 0; k < length; ++k) argument += alphabet[random() % alphabet.size()];
        arguments.push_back(argument);
    }
    return arguments;
}

TEST(SystemdEscaping, HostileArgumentsReachTheProgramUnchanged) {
    vsm_e2e::World world("Linux");
    vsm_systemd::UserManager manager(world.home(), world.root() / "run");
    VSM_REQUIRE_USER_MANAGER(manager);
    const fs::path bin = world.root() / "b i n $X ${Y} %n ; é";
    fs::create_directories(bin);
    const fs::path recorder = bin / "recorder";
    fs::copy_file(vsm_test::fakes_dir / "recording-runner", recorder);

    const auto all = hostile_arguments();
    constexpr std::size_t BATCHES = 4;
    const std::size_t per_batch = (all.size() + BATCHES - 1) / BATCHES;
    for (std::size_t batch = 0; batch < BATCHES; ++batch) {
        std::vector<std::string> expected(all.begin() + static_cast<long>(batch * per_batch),
                                          all.begin() + static_cast<long>(std::min(all.size(), (batch + 1) * per_batch)));
        // The last argument names the record; the working directory is as hostile as the arguments.
        expected.push_back("batch " + std::to_string(batch));
        const fs::path directory = world.root() / ("w %n $HOME \\ ' \" ; é" + std::to_string(batch));
        std::vector<std::string> program{recorder.string()};
        program.insert(program.end(), expected.begin(), expected.end());

        LinuxServiceManager service("escaping_" + std::to_string(batch), directory);
        service.install(program, vetra_service_manager::version::Version("1"));
        fs::path record;
        ASSERT_TRUE(vsm_test::eventually([&] {
            for (const auto& entry : fs::directory_iterator(bin)) {
                const std::string name = entry.path().filename().string();
                if (name.starts_with("recorder.record.") &&
                    vsm_test::read_file(entry.path()).ends_with("batch " + std::to_string(batch) + '\0')) {
                    record = entry.path();
                }
            }
            return !record.empty();
        }));
        auto received = vsm_test::split_nul(vsm_test::read_file(record));
        ASSERT_GE(received.size(), 2u);
        EXPECT_EQ(received[1], directory.string());
        received.erase(received.begin(), received.begin() + 2);
        ASSERT_EQ(received.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(received[i], expected[i]) << "argument " << i;
        service.uninstall();
    }
}

}  // namespace

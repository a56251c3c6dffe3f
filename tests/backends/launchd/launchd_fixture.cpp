#include "backends/launchd/launchd_fixture.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace vsm_test {
namespace {

std::string path_with_fakes() {
    const char* current = std::getenv("PATH");
    return fakes_dir.string() + ":" + (current ? current : "/usr/bin:/bin");
}

}  // namespace

bool process_alive(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto end_of_name = stat.rfind(") ");
    return end_of_name != std::string::npos && stat.compare(end_of_name + 2, 1, "Z") != 0;
}

LaunchdTest::LaunchdTest() : path_env_("PATH", path_with_fakes()) { fs::create_directories(state); }

void LaunchdTest::TearDown() {
    // Agents outlive the simulator call that started them; end the ones this test left running.
    if (fs::exists(state / "pid")) {
        for (const auto& entry : fs::directory_iterator(state / "pid")) {
            const pid_t pid = std::stoi(read_file(entry.path()));
            if (pid > 1) ::kill(pid, SIGKILL);
        }
    }
    if (fs::exists(state / "violations")) ADD_FAILURE() << "launchctl misused:\n" << read_file(state / "violations");
}

vetra_service_manager::backends::launchd::macos::MacOSServiceManager LaunchdTest::manager() const {
    return {SERVICE, app_dir};
}

std::vector<std::string> LaunchdTest::calls() const {
    std::vector<std::string> result;
    for (const auto& line : split_lines(read_file(state / "calls"))) result.push_back(line.substr(line.find(' ') + 1));
    return result;
}

std::vector<std::string> LaunchdTest::subcommands() const {
    std::vector<std::string> result;
    for (const auto& call : calls()) result.push_back(call.substr(0, call.find(' ')));
    return result;
}

std::vector<double> LaunchdTest::call_times(const std::string& subcommand) const {
    std::vector<double> result;
    for (const auto& line : split_lines(read_file(state / "calls"))) {
        std::istringstream words(line);
        double time = 0;
        std::string name;
        words >> time >> name;
        if (name == subcommand) result.push_back(time);
    }
    return result;
}

void LaunchdTest::forget_calls() const { fs::remove(state / "calls"); }

void LaunchdTest::queue(const std::string& subcommand, const std::string& outcome) const {
    const fs::path file = state / "fail" / subcommand;
    write_file(file, read_file(file) + outcome + "\n");
}

void LaunchdTest::mark(const std::string& label, const std::string& word) const {
    write_file(state / "marks" / label, word + "\n");
}

void LaunchdTest::delay_start(double seconds) const {
    write_file(state / "delay" / LABEL, std::to_string(seconds) + "\n");
}

void LaunchdTest::force_state(const std::string& word) const { write_file(state / "state" / LABEL, word + "\n"); }

std::optional<pid_t> LaunchdTest::agent_pid() const {
    if (!fs::exists(state / "pid" / LABEL)) return std::nullopt;
    return std::stoi(read_file(state / "pid" / LABEL));
}

bool LaunchdTest::loaded() const { return fs::exists(state / "loaded" / LABEL); }

fs::path LaunchdTest::agent_program() const {
    const fs::path program = tmp / "agent";
    write_script(program, "#!/bin/bash\nprintf '%s\\0' \"$PWD\" \"$@\" > '" + record.string() +
                              ".part'\nmv '" + record.string() + ".part' '" + record.string() +
                              "'\necho started\nexec sleep 60\n");
    return program;
}

std::vector<std::string> LaunchdTest::agent_record() const {
    if (!eventually([&] { return fs::exists(record); })) return {};
    return split_nul(read_file(record));
}

std::string LaunchdTest::uid_text() const { return std::to_string(::getuid()); }

}  // namespace vsm_test

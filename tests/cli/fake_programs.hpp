#pragma once
// Stand-ins for the programs this machine lacks (the runner, plutil, powershell.exe): bash scripts
// that record the argument vector they received, NUL-separated, then do what the test asks.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace runnerops_test {

namespace fs = std::filesystem;

// A bash script at `program` that writes its arguments to `record`, then runs `body`.
inline fs::path write_recording_script(const fs::path& program, const fs::path& record, const std::string& body) {
    vsm_test::write_script(program, "#!/bin/bash\nprintf '%s\\0' \"$@\" > '" + record.string() + "'\n" + body + "\n");
    return program;
}

// The arguments a recording script received.
inline std::vector<std::string> recorded_args(const fs::path& record) {
    return vsm_test::split_nul(vsm_test::read_file(record));
}

// Polls for a file written by a process we do not wait for; false after `limit`.
inline bool wait_for_file(const fs::path& path, double seconds = 20) {
    return vsm_test::eventually([&] { return fs::exists(path); }, seconds);
}

// A test with a recording runner stand-in in its own temporary directory.
class RunnerScriptTest : public ::testing::Test {
protected:
    vsm_test::TempDir dir;
    fs::path record = dir / "argv";
    fs::path runner_with(const std::string& body) {
        return write_recording_script(dir / "vetra_service_runner", record, body);
    }
};

inline std::string warning(const std::string& message) {
    return "warning vetra_service_manager.cli._runnerops: " + message;
}

}  // namespace runnerops_test

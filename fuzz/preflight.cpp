// The bash preflight: real bash runs the built command with a printer as the program, and the
// printer must receive exactly the arguments given. The input is cut at NULs (which no argument can
// hold): the first two fields name the log files, the rest are the arguments.
#include <chrono>
#include <filesystem>

#include "check.hpp"
#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace macos = vetra_service_manager::backends::launchd::macos;
namespace process = vetra_service_manager::platform::process;

namespace {

// Inside a directory that does not exist, so that the trim never touches a file.
const std::filesystem::path LOG_DIR = "/nonexistent-vsm-fuzz";

std::vector<std::string> split(std::string_view input) {
    std::vector<std::string> parts;
    for (;;) {
        const auto end = input.find('\0');
        parts.emplace_back(input.substr(0, end));
        if (end == std::string_view::npos) return parts;
        input.remove_prefix(end + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A process per input is the cost of the real shell: keep the inputs short.
    if (size > 512) return 0;
    auto parts = split(vsm_fuzz::text(data, size));
    parts.resize(std::max<std::size_t>(parts.size(), 2));
    const std::vector<std::string> given(parts.begin() + 2, parts.end());
    std::vector<std::string> program = {"/usr/bin/printf", "%s\\0", "-"};
    program.insert(program.end(), given.begin(), given.end());
    const auto argv = macos::_build_program_arguments_with_log_rotation(program, LOG_DIR / parts[0], LOG_DIR / parts[1]);
    vsm_fuzz::check(argv.size() == 3 && argv[0] == "/bin/bash" && argv[1] == "-c", "bash -c and one command");

    // No PATH: should the quoting ever fail, the stray text finds no program to run.
    const auto result = process::run_captured({"/usr/bin/env", "-i", "PATH=/nonexistent", argv[0], argv[1], argv[2]},
                                              std::chrono::seconds(10));
    std::string expected = std::string("-") + '\0';
    for (const auto& argument : given) expected.append(argument).push_back('\0');
    if (result.exit_code != 0 || result.out != expected) {
        std::fprintf(stderr, "command: %s\nexit: %d\nstderr: %s\n", argv[2].c_str(), result.exit_code, result.err.c_str());
    }
    vsm_fuzz::check(result.exit_code == 0, "the command runs");
    vsm_fuzz::check(result.out == expected, "the program receives exactly the arguments given");
    return 0;
}

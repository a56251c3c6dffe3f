// The Windows smoke program: `vsm_windows_smoke [NAME-PART]` runs every case (or those whose name
// contains NAME-PART) and ends with "N passed, N failed"; `vsm_windows_smoke child MODE ...` is
// the child that the process cases start; `vsm_windows_smoke with-env NAME=VALUE PROGRAM ARGS...`
// runs a program with one variable changed (wine sets some, such as LOCALAPPDATA, for every
// program it starts from Linux, but not for those a Windows program starts);
// `vsm_windows_smoke supervisor OUT EXECUTABLE PID-FILE LOG-FILE WORKING-DIR` writes the supervisor
// script filled with these values, as the backend writes it, for wine's script host to read.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <iostream>
#include <string>

#include "child.hpp"
#include "smoke.hpp"
#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace smoke {
namespace {
int failures_in_case = 0;
}

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

void record(bool ok, const char* file, int line, const std::string& what) {
    if (ok) return;
    ++failures_in_case;
    std::cout << "    FAILED " << std::filesystem::path(file).filename().string() << ":" << line << ": " << what << "\n";
}

std::filesystem::path self() { return vetra_service_manager::platform::executable_path(); }

std::filesystem::path temp_dir(const std::string& label) {
    static int counter = 0;
    const auto dir = std::filesystem::temp_directory_path() /
                     vetra_service_manager::platform::from_text("vsm smoke ä✓ " +
                                                                std::to_string(GetCurrentProcessId()) + "-" +
                                                                std::to_string(++counter) + " " + label);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace smoke

int main(int argc, char** argv) {
    const auto args = vetra_service_manager::platform::utf8_arguments(argc, argv);
    if (args.size() >= 3 && args[1] == "child") return smoke::child::run(std::vector<std::string>(args.begin() + 2, args.end()));
    if (args.size() == 7 && args[1] == "supervisor") {
        namespace task_scheduler = vetra_service_manager::backends::task_scheduler;
        using vetra_service_manager::platform::from_text;
        const std::string script = task_scheduler::wintpl::fill_supervisor_template(
            {args[3], from_text(args[4]), from_text(args[5]), from_text(args[6])});
        vetra_service_manager::platform::files::write_file_atomically(
            from_text(args[2]), task_scheduler::windows_formats::utf16le_with_bom(script));
        return 0;
    }
    if (args.size() >= 4 && args[1] == "with-env") return smoke::child::run_with_env(std::vector<std::string>(args.begin() + 2, args.end()));

    const std::string filter = args.size() >= 2 ? args[1] : "";
    int passed = 0, failed = 0;
    for (const auto& test : smoke::cases()) {
        if (test.name && std::string(test.name).find(filter) == std::string::npos) continue;
        smoke::failures_in_case = 0;
        std::cout << "[ RUN  ] " << test.name << std::endl;
        try {
            test.body();
        } catch (const std::exception& error) {
            smoke::record(false, __FILE__, __LINE__, std::string("unexpected exception: ") + error.what());
        }
        (smoke::failures_in_case == 0 ? passed : failed)++;
        std::cout << (smoke::failures_in_case == 0 ? "[  OK  ] " : "[FAILED] ") << test.name << std::endl;
    }
    std::cout << passed << " passed, " << failed << " failed" << std::endl;
    return failed == 0 && passed > 0 ? 0 : 1;
}

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fstream>
#include <string>

#include "child.hpp"
#include "smoke.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/windows_command_line.hpp"

namespace smoke::child {
namespace {

namespace platform = vetra_service_manager::platform;
namespace process = vetra_service_manager::platform::process;

void write(DWORD which, const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring wide(const std::string& text) { return platform::from_text(text).wstring(); }

// Starts `child sleep MS` with our own standard streams and does not wait for it.
int orphan(const std::string& ms) {
    std::wstring command = wide(vetra_service_manager::platform::windows_command_line::build(
        {platform::to_text(self()), "child", "sleep", ms}));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) return 90;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    write(STD_OUTPUT_HANDLE, std::to_string(info.dwProcessId));
    return 0;
}

// See child.hpp: a parent with a child and an orphaned grandchild.
int family(const std::string& file, const std::string& ms) {
    const auto target = platform::from_text(file);
    auto middle_out = target;
    middle_out += ".middle";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE out = CreateFileW(middle_out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 91;
    const PROCESS_INFORMATION middle = start({"orphan", ms}, out);
    CloseHandle(out);
    WaitForSingleObject(middle.hProcess, 30000);
    CloseHandle(middle.hThread);
    CloseHandle(middle.hProcess);
    const PROCESS_INFORMATION kid = start({"sleep", ms});
    CloseHandle(kid.hThread);
    CloseHandle(kid.hProcess);
    std::string grandchild;
    std::ifstream(middle_out) >> grandchild;
    auto partial = target;
    partial += ".partial";
    std::ofstream(partial, std::ios::binary) << "child=" << kid.dwProcessId << "\ngrandchild=" << grandchild << "\n";
    std::filesystem::rename(partial, target);
    Sleep(static_cast<DWORD>(std::stoul(ms)));
    return 0;
}

// pid, working directory and the kind of each standard handle (GetFileType: 2 = character device,
// which the null device is; 0 = none or unknown), written whole or not at all.
int report(const std::string& file, const std::string& ms) {
    std::wstring cwd(32768, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    const auto target = platform::from_text(file);
    auto partial = target;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << "pid=" << GetCurrentProcessId() << "\n"
            << "cwd=" << platform::to_text(std::filesystem::path(cwd)) << "\n"
            << "stdin=" << GetFileType(GetStdHandle(STD_INPUT_HANDLE)) << "\n"
            << "stdout=" << GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) << "\n"
            << "stderr=" << GetFileType(GetStdHandle(STD_ERROR_HANDLE)) << "\n";
    }
    std::filesystem::rename(partial, target);
    Sleep(static_cast<DWORD>(std::stoul(ms)));
    return 0;
}

}  // namespace

PROCESS_INFORMATION start(const std::vector<std::string>& args, HANDLE out) {
    std::vector<std::string> argv{platform::to_text(self()), "child"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::wstring command = wide(vetra_service_manager::platform::windows_command_line::build(argv));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &startup, &info)) {
        return {};
    }
    return info;
}

int run(const std::vector<std::string>& args) {
    const std::string& mode = args[0];
    auto arg = [&](std::size_t i) { return i < args.size() ? args[i] : std::string(); };
    if (mode == "echo") {
        write(STD_OUTPUT_HANDLE, arg(1));
        write(STD_ERROR_HANDLE, arg(2));
        return std::stoi(arg(3));
    }
    if (mode == "args") {
        for (std::size_t i = 1; i < args.size(); ++i) write(STD_OUTPUT_HANDLE, args[i] + std::string(1, '\0'));
        return 0;
    }
    if (mode == "streams") {
        const std::string out(1024, 'o'), err(1024, 'e');
        for (int i = std::stoi(arg(1)); i > 0; --i) {
            write(STD_OUTPUT_HANDLE, out);
            write(STD_ERROR_HANDLE, err);
        }
        return 0;
    }
    if (mode == "sleep") {
        Sleep(static_cast<DWORD>(std::stoul(arg(1))));
        return 0;
    }
    if (mode == "tree") return process::run_inherited({platform::to_text(self()), "child", "sleep", arg(1)}).exit_code;
    if (mode == "orphan") return orphan(arg(1));
    if (mode == "report") return report(arg(1), arg(2));
    if (mode == "family") return family(arg(1), arg(2));
    write(STD_ERROR_HANDLE, "unknown child mode: " + mode + "\n");
    return 99;
}

int run_with_env(const std::vector<std::string>& args) {
    const auto equals = args[0].find('=');
    if (equals == std::string::npos) return 98;
    SetEnvironmentVariableW(wide(args[0].substr(0, equals)).c_str(), wide(args[0].substr(equals + 1)).c_str());
    return process::run_inherited(std::vector<std::string>(args.begin() + 1, args.end())).exit_code;
}

}  // namespace smoke::child

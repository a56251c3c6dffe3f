// Windows: every text that crosses the system boundary is UTF-16 there and UTF-8 here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform {
namespace {

std::wstring wide(std::string_view text) { return from_text(text).wstring(); }
std::string narrow(const std::wstring& text) { return to_text(std::filesystem::path(text)); }

}  // namespace

std::string native_name() { return "Windows"; }

std::filesystem::path home_dir() {
    if (auto profile = env("USERPROFILE"); profile && !profile->empty()) return from_text(*profile);
    auto drive = env("HOMEDRIVE");
    auto path = env("HOMEPATH");
    if (drive && path && !path->empty()) return from_text(*drive + *path);
    throw std::runtime_error("Cannot determine the home directory: USERPROFILE is not set");
}

// GetEnvironmentVariableW rather than the C runtime's copy: it also sees what SetEnvironmentVariableW
// changed, and it gives the value in UTF-16 whatever the ANSI code page.
std::optional<std::string> env(std::string_view variable) {
    const std::wstring name = wide(variable);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (length < value.size()) {
            value.resize(length);
            return narrow(value);
        }
        value.resize(length);  // too small: `length` includes the terminating null
    }
}

std::string real_user_id() { return "0"; }

std::filesystem::path executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "GetModuleFileNameW");
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

void* load_library_symbol(const std::filesystem::path& library, const char* symbol) {
    HMODULE handle = LoadLibraryW(library.c_str());
    return handle ? reinterpret_cast<void*>(GetProcAddress(handle, symbol)) : nullptr;
}

std::string shared_library_file_name(std::string_view name) { return std::string(name) + ".dll"; }

std::string to_text(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path from_text(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) result.push_back(narrow(wide_argv[i]));
    LocalFree(wide_argv);
    return result;
}

namespace {
UINT original_output_code_page = 0;
void restore_output_code_page() { SetConsoleOutputCP(original_output_code_page); }
}  // namespace

// The console code page outlives the process (it belongs to the console), so the user's own is
// put back at exit.
void use_utf8_console() {
    if (original_output_code_page != 0) return;
    original_output_code_page = GetConsoleOutputCP();
    if (original_output_code_page == 0 || original_output_code_page == CP_UTF8) return;
    if (SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_output_code_page);
}

}  // namespace vetra_service_manager::platform

// Windows: every text that crosses the system boundary is UTF-16 there and UTF-8 here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/windows_text.hpp"

namespace vetra_service_manager::platform {

namespace windows_text {

std::wstring utf16(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX) throw std::range_error("Text too long to convert to UTF-16");
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size == 0) throw std::range_error("Not valid UTF-8 text");
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(), size);
    return result;
}

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX) throw std::range_error("Text too long to convert to UTF-8");
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0) throw std::range_error("Not valid UTF-16 text");
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace windows_text

namespace {
using windows_text::utf16;
using windows_text::utf8;
}  // namespace

std::string native_name() { return "Windows"; }

std::filesystem::path home_dir() {
    if (auto profile = directory_env("USERPROFILE")) return *profile;
    auto drive = env("HOMEDRIVE");
    auto path = env("HOMEPATH");
    if (drive && path) {
        if (auto home = from_text(*drive + *path); home.is_absolute()) return home;
    }
    throw std::runtime_error(
        "Cannot determine the home directory: neither USERPROFILE nor HOMEDRIVE and HOMEPATH give an absolute path");
}

// GetEnvironmentVariableW rather than the C runtime's copy: it also sees what SetEnvironmentVariableW
// changed, and it gives the value in UTF-16 whatever the ANSI code page.
std::optional<std::string> env(std::string_view variable) {
    const std::wstring name = utf16(variable);
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
            return utf8(value);
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

// By its full path, and what it depends on from its own directory and the system's only: never
// from the current directory or PATH, where anyone could have put a library of that name.
void* load_library_symbol(const std::filesystem::path& library, const char* symbol) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(library, ec);
    if (ec) return nullptr;
    HMODULE handle =
        LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    return handle ? reinterpret_cast<void*>(GetProcAddress(handle, symbol)) : nullptr;
}

std::filesystem::path system_tool(std::string_view below_system_directory) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "GetSystemDirectoryW");
        if (length < buffer.size()) {
            buffer.resize(length);
            return (std::filesystem::path(buffer) / from_text(below_system_directory)).make_preferred();
        }
        buffer.resize(length);
    }
}

std::string shared_library_file_name(std::string_view name) { return std::string(name) + ".dll"; }

std::string to_text(const std::filesystem::path& path) { return utf8(path.native()); }

std::filesystem::path from_text(std::string_view text) { return std::filesystem::path(utf16(text)); }

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) result.push_back(utf8(wide_argv[i]));
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

#include <dlfcn.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "vetra_service_manager/platform/platform.hpp"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace vetra_service_manager::platform {

std::string native_name() {
    struct utsname info {};
    if (uname(&info) != 0) throw std::system_error(errno, std::generic_category(), "uname");
    return info.sysname;
}

std::filesystem::path home_dir() {
    if (auto home = directory_env("HOME")) return *home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/') return entry->pw_dir;
    throw std::runtime_error(
        "Cannot determine the home directory: neither HOME nor the password database gives an absolute path");
}

std::optional<std::string> env(std::string_view variable) {
    if (const char* value = std::getenv(std::string(variable).c_str())) return std::string(value);
    return std::nullopt;
}

std::string real_user_id() { return std::to_string(getuid()); }

std::filesystem::path executable_path() {
#if defined(__APPLE__)
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
    return std::filesystem::weakly_canonical(buffer.data());
#else
    return std::filesystem::read_symlink("/proc/self/exe");
#endif
}

void* load_library_symbol(const std::filesystem::path& library, const char* symbol) {
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle ? ::dlsym(handle, symbol) : nullptr;
}

std::filesystem::path system_tool(std::string_view below_system_directory) {
    return from_text(below_system_directory).filename();
}

std::string shared_library_file_name(std::string_view name) {
#if defined(__APPLE__)
    return "lib" + std::string(name) + ".dylib";
#else
    return "lib" + std::string(name) + ".so";
#endif
}

std::string to_text(const std::filesystem::path& path) { return path.string(); }
std::filesystem::path from_text(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::vector<std::string> utf8_arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void use_utf8_console() {}

}  // namespace vetra_service_manager::platform

#pragma once
// The only place that asks the operating system who and where we are. Everything else takes the
// system, home directory and environment from here.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::platform {

// The systems whose services we know how to run, and the rest. (`linux` is a predefined macro in
// GNU mode; the build keeps that mode off.)
enum class System { macos, linux, windows, other };
// The system we run on, from name(): callers compare this, never the name's text.
System system();
// Kernel name as reported by the system: "Darwin", "Linux", "Windows", "FreeBSD", ...; for
// messages. In the testing executable VSM_TEST_PLATFORM, when set and not empty, stands in for it.
std::string name();
// HOME on POSIX (else the password database), USERPROFILE on Windows (else HOMEDRIVE and
// HOMEPATH); only an absolute path counts. Throws std::runtime_error when none gives one.
std::filesystem::path home_dir();
// The value of an environment variable, or nothing when it is not set (an empty value is a value).
std::optional<std::string> env(std::string_view variable);
// A variable that names a directory: its value as a path when that is absolute, else nothing. An
// empty or relative value is invalid and treated as unset; it would name a place relative to
// wherever we happen to be started.
std::optional<std::filesystem::path> directory_env(std::string_view variable);
// Decimal text of the process's real user id ("0" where the notion does not exist).
std::string real_user_id();
// Full path of the running executable.
std::filesystem::path executable_path();

// Loads a shared library (kept loaded for the life of the process) and looks up `symbol`;
// nullptr when the library cannot be loaded or lacks the symbol.
void* load_library_symbol(const std::filesystem::path& library, const char* symbol);
// A program that comes with the operating system, named by its place below the system directory
// ("WindowsPowerShell/v1.0/powershell.exe"). On Windows its full path there: a bare name would be
// looked for in our own and the current directory first. Elsewhere its bare file name.
std::filesystem::path system_tool(std::string_view below_system_directory);
// The file name of a shared library on this platform: "lib<name>.so", "lib<name>.dylib", "<name>.dll".
std::string shared_library_file_name(std::string_view name);

// Path <-> UTF-8 text. Paths are turned into text only for command lines, property lists and output.
// On Windows, text that is not valid UTF-8 (or a path that is not valid UTF-16) raises std::range_error.
std::string to_text(const std::filesystem::path& path);
std::filesystem::path from_text(std::string_view text);

// The program's arguments as UTF-8 text: argv itself on POSIX. On Windows they are read from the
// wide command line, since argv there is in the ANSI code page and loses every other character.
std::vector<std::string> utf8_arguments(int argc, char** argv);
// Lets printed UTF-8 text show as written: on Windows the console's output code page is UTF-8
// until the process ends. Nothing to do elsewhere.
void use_utf8_console();

// Test seam: the testing executable answers these variables (VSM_TEST_PLATFORM,
// VSM_TEST_CLIENT_LIBRARY); the product never does.
std::optional<std::string> test_override(std::string_view variable);

}  // namespace vetra_service_manager::platform

#pragma once
// The texts the Windows backend writes for, or reads from, Windows: pure functions, so that they
// test anywhere.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "vetra_service_manager/platform/process_table.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows_formats {

// UTF-8 text as UTF-16 LE behind a byte-order mark: the only Unicode form Windows Script Host
// reads (it reads any other file in the user's ANSI code page). Throws std::invalid_argument for
// text that is not valid UTF-8.
std::string utf16le_with_bom(std::string_view utf8);

// The path as Windows spells it: absolute, without "." and ".." parts or doubled separators,
// with backslashes. The supervisor looks for its own script path in process command lines
// verbatim, so the script, the task and everything they hold must use this one spelling.
std::string windows_path_text(const std::filesystem::path& path);

// The supervisor's PID file: "pid" or "pid,creation date" (WMI's CreationDate text), one line.
struct PidRecord {
    std::uint32_t pid = 0;
    std::string created;  // empty when the supervisor could not learn it
};
// nullopt for anything else (empty, not a process ID).
std::optional<PidRecord> parse_pid_file(std::string_view content);

// WMI's date-time text, "yyyymmddHHMMSS.ffffff+UUU" (local time, then its offset from UTC in
// minutes), as the instant it names; nullopt for any other text.
std::optional<platform::process_table::Instant> parse_wmi_datetime(std::string_view text);

// The text after "version=" on its line of the task's Description; nullopt without such a line.
std::optional<std::string> description_version(std::string_view task_xml);

}  // namespace vetra_service_manager::backends::task_scheduler::windows_formats

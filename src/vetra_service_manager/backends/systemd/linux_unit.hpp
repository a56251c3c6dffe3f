#pragma once
// The systemd unit file of one service: its text, and the escaping that carries every argument to
// the program byte for byte. Pure text work: nothing here touches the disk or the bus.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::backends::systemd::linux_unit {

// A value that a unit file cannot carry (a line break, NUL, text that is not UTF-8, ...).
class UnitValueError : public std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The ExecStart= value running `arguments` (program first, an absolute path) with exactly these
// arguments: specifiers and variable references neutralised, quoted where needed.
std::string exec_start(const std::vector<std::string>& arguments);
// The WorkingDirectory= value naming `directory` (absolute); this setting takes no quotes.
std::string working_directory(std::string_view directory);

struct UnitContent {
    std::string description;
    std::string version;
    std::vector<std::string> program_arguments;
    std::string working_directory;
};

// The whole file: [Unit], [Service] and [Install], in that order. Throws UnitValueError.
std::string render(const UnitContent& content);
// The X-Version= value of a unit file's text, or nothing when it has none.
std::optional<std::string> read_version(std::string_view unit_text);

}  // namespace vetra_service_manager::backends::systemd::linux_unit

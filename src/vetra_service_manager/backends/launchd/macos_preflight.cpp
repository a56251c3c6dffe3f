// The bash preflight that launchd runs before each start of an agent: it trims oversized log
// files, then replaces itself with the service's program.
#include <string>

#include "vetra_service_manager/backends/launchd/macos.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::launchd::macos {
namespace {

bool is_shell_safe(char c) {
    const bool ascii_alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return ascii_alnum || std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

}  // namespace

std::string shell_quote(std::string_view text) {
    if (text.empty()) return "''";
    bool safe = true;
    for (char c : text) safe = safe && is_shell_safe(c);
    if (safe) return std::string(text);
    // Inside single quotes nothing is special but the single quote itself: close the quotes, add
    // a double-quoted single quote, reopen.
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\"'\"'";
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

std::vector<std::string> _build_program_arguments_with_log_rotation(const std::vector<std::string>& program_arguments,
                                                                    const std::filesystem::path& out_log,
                                                                    const std::filesystem::path& err_log) {
    // `stat -f%z` is the size in bytes (BSD stat). The kept tail is copied aside and written back
    // into the same file rather than renamed over it: launchd opened the log files before running
    // this command, and the program inherits those descriptors, so a renamed-over file would take
    // every later line of output with it into an unlinked inode.
    std::string command = "for log in ";
    command += shell_quote(platform::to_text(out_log));
    command += ' ';
    command += shell_quote(platform::to_text(err_log));
    command += "; do if [ -f \"$log\" ] && [ \"$(stat -f%z \"$log\" 2>/dev/null)\" -gt ";
    command += std::to_string(LOG_SIZE_LIMIT_BYTES);
    command += " ]; then if tail -c ";
    command += std::to_string(LOG_KEEP_BYTES);
    command += " \"$log\" > \"$log.tmp\" 2>/dev/null; then cat \"$log.tmp\" 2>/dev/null > \"$log\"; fi;"
               " rm -f \"$log.tmp\"; fi; done; exec ";
    for (std::size_t i = 0; i < program_arguments.size(); ++i) {
        if (i > 0) command.push_back(' ');
        command += shell_quote(program_arguments[i]);
    }
    return {"/bin/bash", "-c", std::move(command)};
}

}  // namespace vetra_service_manager::backends::launchd::macos

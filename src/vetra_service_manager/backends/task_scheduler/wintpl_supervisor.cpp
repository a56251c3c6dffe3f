// The supervisor script template and its filling.
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::task_scheduler::wintpl {

// Embedded at build time from wintpl_supervisor.vbs, with CR LF line endings.
constinit const std::string_view VBS_PROC_LAUNCHER_TEMPLATE =
#include "embedded/wintpl_supervisor.inc"
    ;

namespace {

// Each placeholder sits alone inside a double-quoted VBScript literal, where the only escape is a
// doubled quote and a line break ends the statement. Line breaks are CR, LF and their Unicode
// relatives (NEL, LS, PS, which some readers also break on); NUL cannot be stored in a script.
std::string vbscript_literal_content(std::string_view placeholder, std::string_view value) {
    static constexpr std::string_view forbidden[] = {"\r", "\n", std::string_view("\0", 1), "\xC2\x85",
                                                     "\xE2\x80\xA8", "\xE2\x80\xA9"};
    for (auto sequence : forbidden) {
        if (value.find(sequence) != std::string_view::npos) {
            throw std::invalid_argument(
                fmt::format("The supervisor's {} cannot hold a line break or NUL character", placeholder));
        }
    }
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

}  // namespace

std::string fill_supervisor_template(const SupervisorSettings& settings) {
    const std::pair<std::string_view, std::string> values[] = {
        {"{executable}", vbscript_literal_content("command line", settings.executable)},
        {"{pid_file}", vbscript_literal_content("PID file path", platform::to_text(settings.pid_file))},
        {"{log_file}", vbscript_literal_content("log file path", platform::to_text(settings.log_file))},
        {"{working_dir}", vbscript_literal_content("working directory", platform::to_text(settings.working_dir))},
    };

    // One pass over the template, so that a value which happens to contain a placeholder's text
    // stays as it is.
    const std::string_view text = VBS_PROC_LAUNCHER_TEMPLATE;
    std::string script;
    script.reserve(text.size() + 1024);
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t brace = text.find('{', position);
        script.append(text.substr(position, brace - position));
        if (brace == std::string_view::npos) break;
        position = brace;
        bool replaced = false;
        for (const auto& [placeholder, value] : values) {
            if (text.substr(brace, placeholder.size()) == placeholder) {
                script += value;
                position += placeholder.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) script += text[position++];
    }
    return script;
}

}  // namespace vetra_service_manager::backends::task_scheduler::wintpl

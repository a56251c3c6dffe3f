#include "vetra_service_manager/platform/windows_command_line.hpp"

namespace vetra_service_manager::platform::windows_command_line {

std::string quote_argument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(argument);
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a '"' follows them: then each one needs a partner, and
        // the quote its own backslash.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');  // or they would escape the closing quote
    quoted += '"';
    return quoted;
}

std::string quote_program(std::string_view program) {
    if (!program.empty() && program.find_first_of(" \t") == std::string_view::npos) return std::string(program);
    std::string quoted = "\"";
    quoted += program;
    quoted += '"';
    return quoted;
}

bool valid_program(std::string_view program) { return program.find('"') == std::string_view::npos; }

std::string build(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        line += i == 0 ? quote_program(argv[i]) : quote_argument(argv[i]);
    }
    return line;
}

}  // namespace vetra_service_manager::platform::windows_command_line

#include "vetra_service_manager/backends/systemd/linux_unit.hpp"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::backends::systemd::linux_unit {
namespace {

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF): systemd ignores
// a setting whose value is anything else.
bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = platform::text::next_code_point(text, i);
        if (!decoded) return false;
        i += decoded->length;
    }
    return true;
}

// The noncharacters U+FDD0..U+FDEF and U+xxFFFE, U+xxFFFF: systemd takes text holding one as not
// UTF-8 clean and ignores the setting. Called on well-formed UTF-8 only.
bool has_noncharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xEF && i + 2 < text.size()) {
            const auto b1 = static_cast<unsigned char>(text[i + 1]), b2 = static_cast<unsigned char>(text[i + 2]);
            if (b1 == 0xB7 && b2 >= 0x90 && b2 <= 0xAF) return true;   // U+FDD0..U+FDEF
            if (b1 == 0xBF && (b2 == 0xBE || b2 == 0xBF)) return true;  // U+FFFE, U+FFFF
        }
        if (c >= 0xF0 && i + 3 < text.size()) {
            const auto b1 = static_cast<unsigned char>(text[i + 1]), b2 = static_cast<unsigned char>(text[i + 2]),
                       b3 = static_cast<unsigned char>(text[i + 3]);
            if ((b1 & 0x0F) == 0x0F && b2 == 0xBF && (b3 == 0xBE || b3 == 0xBF)) return true;  // U+xxFFFE, U+xxFFFF
        }
    }
    return false;
}

// Line breaks end the setting and NUL ends the file's text; no escape brings either back intact.
void check_representable(std::string_view what, std::string_view text) {
    if (text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) {
        throw UnitValueError(fmt::format("{} contains a line break or NUL character, which a systemd unit file cannot "
                                         "hold: {:?}",
                                         what, text));
    }
    if (!is_utf8(text)) throw UnitValueError(fmt::format("{} is not valid UTF-8: {:?}", what, text));
    if (has_noncharacter(text)) {
        throw UnitValueError(fmt::format("{} holds a Unicode noncharacter, which systemd refuses: {:?}", what, text));
    }
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Specifiers (%) are expanded in every setting; variable references ($) in ExecStart= arguments.
void append_escaped_specifiers(std::string& out, char c) {
    out.push_back(c);
    if (c == '%') out.push_back('%');
}

std::string exec_argument(std::string_view argument, bool expands_variables) {
    // Only an unquoted lone ";" separates commands; systemd documents "\;" as the literal.
    if (argument == ";") return "\\;";
    const bool needs_quotes =
        argument.empty() || argument.find_first_of(" \t\"'\\") != std::string_view::npos ||
        std::any_of(argument.begin(), argument.end(), [](char c) { return is_control(static_cast<unsigned char>(c)); });
    std::string out;
    if (needs_quotes) out.push_back('"');
    for (char c : argument) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (is_control(byte)) {
            out += fmt::format("\\x{:02x}", byte);
        } else if (c == '$' && expands_variables) {
            out += "$$";
        } else {
            append_escaped_specifiers(out, c);
        }
    }
    if (needs_quotes) out.push_back('"');
    return out;
}

}  // namespace

std::string exec_start(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw UnitValueError("The service has no program to run");
    for (const auto& argument : arguments) check_representable("A program argument", argument);
    const std::string& program = arguments.front();
    // systemd takes a leading "-", "@", "+", "!" or ":" of the first word as a flag, quoted or not;
    // an absolute path can never start with one.
    if (program.empty() || program.front() != '/') {
        throw UnitValueError(fmt::format("The service's program must be an absolute path: {:?}", program));
    }
    std::string out;
    std::size_t first_argument = 1;
    if (program.find_first_of("\"'\\") != std::string::npos ||
        std::any_of(program.begin(), program.end(), [](char c) { return is_control(static_cast<unsigned char>(c)); })) {
        // systemd refuses such a program path however it is quoted, but takes it as an argument:
        // the shell execs it, so the main process is still the program itself.
        out = "/bin/sh -c " + exec_argument("exec \"$0\" \"$@\"", true);
        first_argument = 0;
    } else if (program.find('$') != std::string::npos) {
        // The program's path is not subject to variable expansion, but the argument vector (argv[0]
        // included) is: such a path goes in through the "@" form, which names the path and argv[0]
        // separately, each escaped for what systemd does to it.
        out = fmt::format("@{} {}", exec_argument(program, false), exec_argument(program, true));
    } else {
        out = exec_argument(program, false);
    }
    for (std::size_t i = first_argument; i < arguments.size(); ++i) {
        out.push_back(' ');
        out += exec_argument(arguments[i], true);
    }
    return out;
}

std::string working_directory(std::string_view given) {
    check_representable("The working directory", given);
    if (given.empty() || given.front() != '/') {
        throw UnitValueError(fmt::format("The working directory must be an absolute path: {:?}", given));
    }
    // systemd refuses "." and ".." components: name the same directory without them.
    std::string directory = std::filesystem::path(given).lexically_normal().string();
    if (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    // No quotes and no C escapes here; the parser trims surrounding blanks and a final backslash
    // continues the line, so neither can end the value.
    const char last = directory.back();
    const bool has_control = std::any_of(directory.begin(), directory.end(),
                                         [](char c) { return is_control(static_cast<unsigned char>(c)); });
    if (has_control || last == ' ' || last == '\\') {
        throw UnitValueError(
            fmt::format("The working directory cannot be written to a systemd unit file: {:?}", directory));
    }
    std::string out;
    for (char c : directory) append_escaped_specifiers(out, c);
    return out;
}

std::string render(const UnitContent& content) {
    check_representable("The service name", content.description);
    check_representable("The version", content.version);
    std::string description;
    for (char c : content.description) append_escaped_specifiers(description, c);
    return fmt::format(
        "[Unit]\n"
        "Description={}\n"
        "X-Version={}\n"
        "\n"
        "[Service]\n"
        "Type=exec\n"
        "ExecStart={}\n"
        "WorkingDirectory={}\n"
        "Restart=always\n"
        "RestartSec=60\n"
        "\n"
        "[Install]\n"
        "WantedBy=default.target\n",
        description, content.version, exec_start(content.program_arguments),
        working_directory(content.working_directory));
}

std::optional<std::string> read_version(std::string_view unit_text) {
    static constexpr std::string_view key = "X-Version=";
    std::size_t start = 0;
    while (start <= unit_text.size()) {
        std::size_t end = unit_text.find('\n', start);
        if (end == std::string_view::npos) end = unit_text.size();
        std::string_view line = unit_text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.starts_with(key)) return std::string(line.substr(key.size()));
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace vetra_service_manager::backends::systemd::linux_unit

#include "vetra_service_manager/diagnosis.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace vetra_service_manager::diagnosis {

std::string to_string(Level level) {
    switch (level) {
        case Level::OK: return "ok";
        case Level::WARNING: return "warning";
        case Level::PROBLEM: break;
    }
    return "problem";
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += fmt::format("\\x{:02x}", byte);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string last_lines(std::string_view text, std::size_t count) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find_first_not_of(" \t") != std::string_view::npos) lines.push_back(line);
        begin = end + 1;
    }
    const std::size_t first = lines.size() > count ? lines.size() - count : 0;
    std::string out;
    for (std::size_t i = first; i < lines.size(); ++i) {
        if (!out.empty()) out.push_back('\n');
        out += escaped(lines[i]);
    }
    return out;
}

std::string moment(std::chrono::system_clock::time_point when) {
    return fmt::format("{:%Y-%m-%d %H:%M:%S} UTC", std::chrono::time_point_cast<std::chrono::seconds>(when));
}

std::string shell_word(std::string_view text) {
    constexpr std::string_view plain = "-_./:=@%+,";
    bool quote = text.empty();
    for (const char c : text) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && plain.find(c) == std::string_view::npos) quote = true;
    }
    if (!quote) return std::string(text);
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace vetra_service_manager::diagnosis

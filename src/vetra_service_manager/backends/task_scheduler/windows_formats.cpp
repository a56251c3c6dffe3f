#include "vetra_service_manager/backends/task_scheduler/windows_formats.hpp"

#include <charconv>
#include <stdexcept>
#include <vector>

#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::backends::task_scheduler::windows_formats {
namespace {

void put_unit(std::string& out, char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
}

template <typename Number>
bool number(std::string_view text, Number& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string xml_unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
        if (end == std::string_view::npos) {
            out += text[i];
            continue;
        }
        const std::string_view entity = text.substr(i + 1, end - i - 1);
        char32_t code = 0;
        if (entity == "amp") code = '&';
        else if (entity == "lt") code = '<';
        else if (entity == "gt") code = '>';
        else if (entity == "quot") code = '"';
        else if (entity == "apos") code = '\'';
        else if (entity.size() > 2 && entity.substr(0, 2) == "#x") {
            std::uint32_t value = 0;
            const auto hex = entity.substr(2);
            if (std::from_chars(hex.data(), hex.data() + hex.size(), value, 16).ptr == hex.data() + hex.size()) code = value;
        } else if (entity.size() > 1 && entity[0] == '#') {
            std::uint32_t value = 0;
            if (number(entity.substr(1), value)) code = value;
        }
        // Only line breaks and ASCII matter here: the version is ASCII.
        if (code == 0 || code > 0x7F) {
            out += text[i];
            continue;
        }
        out += static_cast<char>(code);
        i = end;
    }
    return out;
}

}  // namespace

std::string utf16le_with_bom(std::string_view utf8) {
    std::string out("\xFF\xFE", 2);
    out.reserve(2 + utf8.size() * 2);
    for (std::size_t at = 0; at < utf8.size();) {
        const auto decoded = platform::text::next_code_point(utf8, at);
        if (!decoded) throw std::invalid_argument("The text is not valid UTF-8");
        const char32_t value = decoded->value;
        at += decoded->length;
        if (value < 0x10000) {
            put_unit(out, value);
        } else {
            put_unit(out, 0xD800 + ((value - 0x10000) >> 10));
            put_unit(out, 0xDC00 + ((value - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string windows_path_text(const std::filesystem::path& path) {
    std::string text = platform::to_text(std::filesystem::absolute(path).lexically_normal());
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    // "a\b\.." normalises to "a\": keep a root's separator only.
    while (text.size() > 1 && text.back() == '\\' && text[text.size() - 2] != ':') text.pop_back();
    return text;
}

std::optional<PidRecord> parse_pid_file(std::string_view content) {
    const std::size_t line_end = content.find_first_of("\r\n");
    const std::string_view line = content.substr(0, line_end);
    const std::size_t comma = line.find(',');
    PidRecord record;
    if (!number(line.substr(0, comma), record.pid) || record.pid == 0) return std::nullopt;
    if (comma != std::string_view::npos) record.created = std::string(line.substr(comma + 1));
    return record;
}

std::optional<platform::process_table::Instant> parse_wmi_datetime(std::string_view text) {
    // yyyymmddHHMMSS.ffffff+UUU
    if (text.size() != 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-')) return std::nullopt;
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0, micros = 0, offset = 0;
    if (!number(text.substr(0, 4), year) || !number(text.substr(4, 2), month) || !number(text.substr(6, 2), day) ||
        !number(text.substr(8, 2), hour) || !number(text.substr(10, 2), minute) ||
        !number(text.substr(12, 2), second) || !number(text.substr(15, 6), micros) ||
        !number(text.substr(22, 3), offset)) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    const auto local = sys_days(date) + hours(hour) + minutes(minute) + seconds(second) + microseconds(micros);
    const auto utc_offset = minutes(text[21] == '-' ? -static_cast<int>(offset) : static_cast<int>(offset));
    return time_point_cast<system_clock::duration>(local - utc_offset);
}

std::optional<std::string> description_version(std::string_view task_xml) {
    const std::size_t open = task_xml.find("<Description>");
    if (open == std::string_view::npos) return std::nullopt;
    const std::size_t start = open + std::string_view("<Description>").size();
    const std::size_t close = task_xml.find("</Description>", start);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string description = xml_unescape(task_xml.substr(start, close - start));
    constexpr std::string_view key = "version=";
    for (std::size_t line = 0; line < description.size();) {
        std::size_t end = description.find('\n', line);
        if (end == std::string::npos) end = description.size();
        std::string_view text = std::string_view(description).substr(line, end - line);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text.substr(0, key.size()) == key) return std::string(text.substr(key.size()));
        line = end + 1;
    }
    return std::nullopt;
}

}  // namespace vetra_service_manager::backends::task_scheduler::windows_formats

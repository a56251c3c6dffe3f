#include "vetra_service_manager/cli/_log_reader.hpp"

#include <algorithm>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::cli::_log_reader {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view UTF16LE_BOM = "\xFF\xFE";
constexpr std::uint64_t TAIL_BLOCK = 64 * 1024;

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Nothing there yet, or gone meanwhile: an empty file.
std::uint64_t size_of(const fs::path& path) {
    const auto range = platform::files::read_range(path, 0, 0);
    return range ? range->size : 0;
}

// Where the last `lines` lines of `text` begin.
std::size_t start_of_last_lines(std::string_view text, int lines) {
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;  // the final line break ends the last line
    for (int seen = 0; end > 0; --end) {
        if (text[end - 1] == '\n' && ++seen == lines) return end;
    }
    return lines > 0 ? 0 : text.size();
}

// Where the text after the last line break in raw[0, before) starts, 0 when there is none. A
// UTF-16 break is the unit 0x000A at an even offset.
std::size_t after_last_break(std::string_view raw, std::size_t before, bool utf16) {
    const std::string_view line_break = utf16 ? std::string_view("\n\0", 2) : std::string_view("\n");
    if (before < line_break.size()) return 0;
    for (auto at = raw.rfind(line_break, before - line_break.size()); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : raw.rfind(line_break, at - 1)) {
        if (!utf16 || at % 2 == 0) return at + line_break.size();
    }
    return 0;
}

// Where a UTF-8 character cut off at the end of `raw` begins, or raw.size() when none is. Bytes
// that no further byte could make a character of are shown as they are, like any others.
std::size_t complete_utf8(std::string_view raw) {
    for (std::size_t back = 1; back < std::min<std::size_t>(4, raw.size() + 1); ++back) {
        if (platform::text::is_cut_off(raw, raw.size() - back)) return raw.size() - back;
    }
    return raw.size();
}

}  // namespace

std::string utf16le_to_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(unit(i + 2)) - 0xDC00));
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

bool LogReader::exists() const { return platform::files::read_range(path_, 0, 0).has_value(); }

std::string LogReader::read_range(std::uint64_t from, std::uint64_t to) const {
    auto range = platform::files::read_range(path_, from, to);
    return range ? std::move(range->bytes) : std::string();
}

std::string LogReader::last_lines(int lines) {
    std::uint64_t size = size_of(path_);
    last_size_ = size;
    utf16_ = read_range(0, std::min<std::uint64_t>(size, 2)) == UTF16LE_BOM;
    const std::uint64_t first = utf16_ ? 2 : 0;
    if (utf16_) size -= size % 2;  // a code unit half written stays for the next read
    // Read blocks from the end until they hold enough lines: a log can be megabytes long.
    for (std::uint64_t block = TAIL_BLOCK;; block *= 2) {
        std::uint64_t from = size > first + block ? size - block : first;
        from -= (from - first) % 2 * (utf16_ ? 1 : 0);
        const std::string raw = read_range(from, size);
        offset_ = from + raw.size();
        last_line_.clear();
        remember(raw);
        const std::string text = utf16_ ? utf16le_to_utf8(raw) : raw;
        const std::size_t start = start_of_last_lines(text, lines);
        if (start > 0 || from == first) return text.substr(start);
    }
}

std::string LogReader::appended() {
    std::uint64_t size = size_of(path_);
    const bool growing = size != last_size_;
    last_size_ = size;
    if (size < offset_) trimmed_ = true;
    if (trimmed_) {
        if (growing) return {};  // still being rewritten: wait until it holds still
        resynchronise(size);
        trimmed_ = false;
    }
    if (offset_ == 0 && size > 0) utf16_ = read_range(0, std::min<std::uint64_t>(size, 2)) == UTF16LE_BOM;
    if (utf16_) {
        if (offset_ == 0) offset_ = std::min<std::uint64_t>(size, 2);
        size -= (size - offset_) % 2;
    }
    std::string raw = read_range(offset_, size);
    std::size_t end = after_last_break(raw, raw.size(), utf16_);
    if (end == 0 && !growing) {
        // A line that has stopped growing is shown as far as it goes, whole characters only; the
        // first half of a UTF-16 surrogate pair waits for its second.
        end = raw.size();
        if (!utf16_) end = complete_utf8(raw);
        if (utf16_ && end >= 2 && (static_cast<unsigned char>(raw[end - 1]) & 0xFC) == 0xD8) end -= 2;
    }
    raw.resize(end);
    return take(std::move(raw));
}

std::string LogReader::take(std::string raw) {
    offset_ += raw.size();
    remember(raw);
    return utf16_ ? utf16le_to_utf8(raw) : raw;
}

void LogReader::remember(std::string_view raw) {
    if (raw.empty()) return;
    const std::size_t break_size = utf16_ ? 2 : 1;
    const bool ends_line = raw.size() >= break_size && after_last_break(raw, raw.size(), utf16_) == raw.size();
    const std::size_t start = after_last_break(raw, raw.size() - (ends_line ? break_size : 0), utf16_);
    const bool continues = start == 0 && !last_line_.empty() &&
                           after_last_break(last_line_, last_line_.size(), utf16_) != last_line_.size();
    last_line_ = continues ? last_line_ + std::string(raw) : std::string(raw.substr(start));
}

void LogReader::resynchronise(std::uint64_t size) {
    const std::string raw = read_range(0, size);
    offset_ = utf16_ ? size - size % 2 : size;
    if (last_line_.empty()) return;
    for (auto at = raw.rfind(last_line_); at != std::string::npos; at = at == 0 ? std::string::npos : raw.rfind(last_line_, at - 1)) {
        if (!utf16_ || at % 2 == 0) {
            offset_ = at + last_line_.size();
            return;
        }
    }
}

}  // namespace vetra_service_manager::cli::_log_reader

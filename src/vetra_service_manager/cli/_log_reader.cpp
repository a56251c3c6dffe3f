#include "vetra_service_manager/cli/_log_reader.hpp"

#include <algorithm>
#include <fstream>

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

std::uint64_t size_of(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
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

bool LogReader::exists() const {
    std::error_code ec;
    return fs::is_regular_file(path_, ec);
}

std::string LogReader::read_range(std::uint64_t from, std::uint64_t to) const {
    std::ifstream in(path_, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(to - from), '\0');
    in.seekg(static_cast<std::streamoff>(from));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

std::string LogReader::last_lines(int lines) {
    std::uint64_t size = size_of(path_);
    utf16_ = read_range(0, std::min<std::uint64_t>(size, 2)) == UTF16LE_BOM;
    const std::uint64_t first = utf16_ ? 2 : 0;
    if (utf16_) size -= size % 2;  // a code unit half written stays for the next read
    // Read blocks from the end until they hold enough lines: a log can be megabytes long.
    for (std::uint64_t block = TAIL_BLOCK;; block *= 2) {
        std::uint64_t from = size > first + block ? size - block : first;
        from -= (from - first) % 2 * (utf16_ ? 1 : 0);
        std::string text = read_range(from, size);
        offset_ = from + text.size();
        if (utf16_) text = utf16le_to_utf8(text);
        const std::size_t start = start_of_last_lines(text, lines);
        if (start > 0 || from == first) return text.substr(start);
    }
}

std::string LogReader::appended(int lines) {
    std::uint64_t size = size_of(path_);
    if (size < offset_) return last_lines(lines);
    if (offset_ == 0 && size > 0) utf16_ = read_range(0, std::min<std::uint64_t>(size, 2)) == UTF16LE_BOM;
    if (utf16_) {
        if (offset_ == 0) offset_ = std::min<std::uint64_t>(size, 2);
        size -= (size - offset_) % 2;
    }
    std::string text = read_range(offset_, size);
    // The first half of a surrogate pair waits for its second.
    if (utf16_ && text.size() >= 2 && (static_cast<unsigned char>(text[text.size() - 1]) & 0xFC) == 0xD8) text.resize(text.size() - 2);
    offset_ += text.size();
    return utf16_ ? utf16le_to_utf8(text) : text;
}

}  // namespace vetra_service_manager::cli::_log_reader

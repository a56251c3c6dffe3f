#pragma once
// Reads a growing log file as UTF-8 text: its last lines, then what is appended. A file that
// starts with the UTF-16 LE byte order mark is decoded. Every read opens the file anew, so a file
// that is trimmed, replaced or not yet created is no error.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vetra_service_manager::cli::_log_reader {

// UTF-16 LE code units (no byte order mark) as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16le_to_utf8(std::string_view bytes);

class LogReader {
public:
    explicit LogReader(std::filesystem::path path) : path_(std::move(path)) {}

    bool exists() const;
    // The last `lines` lines of the file as it is now (all of it when shorter); the next read
    // continues after them.
    std::string last_lines(int lines);
    // What was appended since the last read. When the file shrank (trimmed underneath us), its
    // last `lines` lines instead, as a fresh start.
    std::string appended(int lines);

private:
    std::string read_range(std::uint64_t from, std::uint64_t to) const;

    std::filesystem::path path_;
    std::uint64_t offset_ = 0;
    bool utf16_ = false;
};

}  // namespace vetra_service_manager::cli::_log_reader

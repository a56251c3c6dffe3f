#pragma once
// Reads a growing log file as UTF-8 text: its last lines, then what is appended. A file that
// starts with the UTF-16 LE byte order mark is decoded. Every read opens the file anew, so a file
// that is trimmed, replaced or not yet created is no error; one that is not a regular file (a FIFO,
// say) is refused by every read, exists() included, with platform::files::NotRegularFile.
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
    // Whole lines appended since the last read. A line still being written waits until it ends or
    // the file has stopped growing between two reads; even then no character is split. A file that
    // shrank (trimmed in place to its tail) is read on once its size has settled: after the last
    // line already shown when the file still holds it, otherwise from its new end.
    std::string appended();

private:
    std::string read_range(std::uint64_t from, std::uint64_t to) const;
    // Consumes `raw` bytes read at offset_ and returns them as UTF-8.
    std::string take(std::string raw);
    void remember(std::string_view raw);
    void resynchronise(std::uint64_t size);

    std::filesystem::path path_;
    std::uint64_t offset_ = 0;
    std::uint64_t last_size_ = 0;  // the size at the previous read
    bool utf16_ = false;
    bool trimmed_ = false;  // shrank since the last read; not read again until it holds still
    std::string last_line_;  // the raw bytes of the last line shown, up to offset_
};

}  // namespace vetra_service_manager::cli::_log_reader

#include "support/test_support.hpp"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <stdexcept>

#include "vetra_service_manager/logging.hpp"

namespace vsm_test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vsm-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests make directories unreadable on purpose; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

LogCapture::LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_, true)) {
    vetra_service_manager::logging::add_sink(sink_);
    vetra_service_manager::logging::set_level("debug");
}

LogCapture::~LogCapture() {
    vetra_service_manager::logging::remove_sink(sink_);
    vetra_service_manager::logging::set_level("warning");
}

std::vector<std::string> LogCapture::lines() const { return split_lines(stream_.str()); }

void write_file(const fs::path& path, const std::string& content, fs::perms mode) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    fs::permissions(path, mode);
}

void write_script(const fs::path& path, const std::string& content) {
    write_file(path, content, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> entries;
    std::string current;
    for (char c : text) {
        if (c == '\0') {
            entries.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    return entries;
}

bool eventually(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace vsm_test

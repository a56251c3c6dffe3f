#pragma once
// Small helpers shared by the tests: temporary directories, scoped environment changes,
// captured log lines, files, and the locations the build hands us.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

namespace vsm_test {

namespace fs = std::filesystem;

inline const fs::path testing_binary{VSM_TESTING_BINARY};
inline const fs::path product_binary{VSM_PRODUCT_BINARY};
inline const fs::path source_dir{VSM_SOURCE_DIR};
inline const fs::path fakes_dir{VSM_FAKES_DIR};
inline const fs::path schemas_dir{VSM_SCHEMAS_DIR};

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& child) const { return path_ / child; }

private:
    fs::path path_;
};

// Sets (or, with nullopt, unsets) an environment variable until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Works in `dir` until the end of the scope.
class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() { fs::current_path(previous_); }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    fs::path previous_;
};

// Captures every log line ("<level> <logger>: <message>") at debug level and above.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<std::string> lines() const;
    std::string text() const { return stream_.str(); }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

void write_file(const fs::path& path, const std::string& content, fs::perms mode = fs::perms::owner_read |
                                                                                    fs::perms::owner_write);
// Writes an executable script (mode 0755).
void write_script(const fs::path& path, const std::string& content);
std::string read_file(const fs::path& path);
std::vector<std::string> split_lines(const std::string& text);
// Splits NUL-terminated entries (how the stand-ins record argument vectors).
std::vector<std::string> split_nul(const std::string& text);
// Waits up to `seconds` for `condition`, polling; false when it never held.
bool eventually(const std::function<bool()>& condition, double seconds = 10);

}  // namespace vsm_test

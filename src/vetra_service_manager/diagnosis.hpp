#pragma once
// What `doctor` finds: one fact about the runner, a service, the session or the lock, how much it
// matters, and what to do about it.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::diagnosis {

// OK: as it should be; WARNING: worth knowing, nothing fails because of it; PROBLEM: a reason
// something does not work.
enum class Level { OK, WARNING, PROBLEM };

struct Finding {
    std::string check;                   // what was looked at: "runner", "masked", "lingering", ...
    std::optional<std::string> service;  // the service it is about; none for the runner, session, lock
    Level level = Level::OK;
    std::string fact;                    // in plain words; may hold several lines (a service's last output)
    std::optional<std::string> fix;      // for every WARNING and PROBLEM: a command to paste where there is one
};

using Findings = std::vector<Finding>;

// "ok", "warning", "problem"
std::string to_string(Level level);

// Text a service wrote, fit for a terminal: control characters (C0, DEL) as \xNN, the rest as it is.
std::string escaped(std::string_view text);

// At most the last `count` non-blank lines of `text`, each escaped, joined by line breaks.
std::string last_lines(std::string_view text, std::size_t count);

// "2026-12-10 02:50:01 UTC"
std::string moment(std::chrono::system_clock::time_point when);

// `text` as one word of a POSIX shell command: as it is when it needs no quotes, else in single quotes.
std::string shell_word(std::string_view text);

}  // namespace vetra_service_manager::diagnosis

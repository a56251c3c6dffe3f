#include "vetra_service_manager/backends/systemd/linux_journal.hpp"

#include <chrono>

#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::backends::systemd::linux_journal {
namespace {
constexpr std::chrono::seconds JOURNAL_TIMEOUT{3};
}  // namespace

std::optional<std::string> tail(const std::string& unit, int lines) {
    platform::process::Captured run;
    try {
        run = platform::process::run_captured({"journalctl", "--user", "-u", unit, "-n", std::to_string(lines), "-o",
                                               "cat", "--no-pager", "--quiet"},
                                              JOURNAL_TIMEOUT);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (run.timed_out || run.exit_code != 0) return std::nullopt;
    return run.out;
}

}  // namespace vetra_service_manager::backends::systemd::linux_journal

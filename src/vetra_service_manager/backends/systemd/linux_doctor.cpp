// What `doctor` finds on Linux: why a unit does not run, as the user manager reports it, and
// whether the user manager answers and outlives the user's sessions.
#include <sys/wait.h>

#include <chrono>
#include <csignal>

#include <fmt/format.h>

#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_ask.hpp"
#include "vetra_service_manager/backends/systemd/linux_journal.hpp"
#include "vetra_service_manager/backends/systemd/linux_login.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace {
using diagnosis::Finding;
using diagnosis::Level;

constexpr int DOCTOR_LINES = 10;

std::chrono::system_clock::time_point from_usec(std::uint64_t usec) {
    return std::chrono::system_clock::time_point(std::chrono::microseconds(usec));
}

// The signals a service usually dies of; the C library's own table (sigabbrev_np) is newer than
// the oldest C library the release binaries run on.
const char* signal_abbreviation(int signal) {
    switch (signal) {
        case SIGHUP: return "HUP";
        case SIGINT: return "INT";
        case SIGQUIT: return "QUIT";
        case SIGILL: return "ILL";
        case SIGTRAP: return "TRAP";
        case SIGABRT: return "ABRT";
        case SIGBUS: return "BUS";
        case SIGFPE: return "FPE";
        case SIGKILL: return "KILL";
        case SIGUSR1: return "USR1";
        case SIGSEGV: return "SEGV";
        case SIGUSR2: return "USR2";
        case SIGPIPE: return "PIPE";
        case SIGALRM: return "ALRM";
        case SIGTERM: return "TERM";
        case SIGXCPU: return "XCPU";
        case SIGXFSZ: return "XFSZ";
        case SIGSYS: return "SYS";
        default: return nullptr;
    }
}

// "exited with status 3", "was killed by signal 9 (SIGKILL)": systemd's ExecMainCode is the
// CLD_* code of the main process's end.
std::string how_it_ended(int code, int status) {
    if (code == CLD_EXITED) return fmt::format("exited with status {}", status);
    const char* name = signal_abbreviation(status);
    return fmt::format("was {} by signal {}{}", code == CLD_DUMPED ? "killed (core dumped)" : "killed", status,
                       name ? fmt::format(" (SIG{})", name) : "");
}

// The command quoted in a refusal ("...; `systemctl --user unmask X` allows it to run again").
std::optional<std::string> quoted_command(const std::string& refusal) {
    const auto open = refusal.find('`');
    const auto close = open == std::string::npos ? open : refusal.find('`', open + 1);
    if (close == std::string::npos) return std::nullopt;
    return refusal.substr(open + 1, close - open - 1);
}

// The unit's last lines, when the journal has any: it keeps them with or without a user manager.
void add_journal_lines(diagnosis::Findings& found, const std::string& service, const std::string& unit) {
    if (const auto out = linux_journal::tail(unit, DOCTOR_LINES)) {
        if (const auto lines = diagnosis::last_lines(*out, DOCTOR_LINES); !lines.empty()) {
            found.push_back({"output", service, Level::OK, "its last lines in the journal:\n" + lines, std::nullopt});
        }
    }
}

std::string enable_linger() { return "loginctl enable-linger " + diagnosis::shell_word(linux_login::user_name()); }

std::optional<Finding> lingering_finding() {
    const auto lingering = linux_login::lingering();
    if (!lingering) return std::nullopt;
    if (!*lingering) {
        return Finding{"lingering", std::nullopt, Level::WARNING, "lingering is off: services stop when you log out",
                       enable_linger()};
    }
    return Finding{"lingering", std::nullopt, Level::OK, "lingering is on: services keep running after you log out",
                   std::nullopt};
}

}  // namespace

diagnosis::Findings LinuxServiceManager::install_warnings() const {
    const auto lingering = lingering_finding();
    if (!lingering || lingering->level == Level::OK) return {};
    return {*lingering};
}

diagnosis::Findings LinuxServiceManager::diagnose() const {
    try {
        context_->manager();
    } catch (const linux_bus::ConnectError&) {
        // The session's finding says why; the files and the journal tell the rest.
        diagnosis::Findings found = ServiceManagerBackend::diagnose();
        if (platform::files::exists(unit_path())) add_journal_lines(found, service_name(), unit_name());
        return found;
    }
    const auto refusal = read_step(ServiceOperation::GET_STATUS).refusal;
    const Reading current = read(ServiceOperation::GET_STATUS);
    const std::string& name = service_name();
    const std::string start = "vetra_service_manager start " + name;
    if (!refusal.empty()) {
        const auto command = quoted_command(refusal);
        return {{current.masked() ? "masked" : "not ours", name, Level::PROBLEM, refusal.substr(0, refusal.find(';')),
                 command ? *command : "remove or stop that unit, then run `vetra_service_manager install`"}};
    }
    if (!current.foreign.empty()) {
        return {{"not ours", name, Level::PROBLEM,
                 fmt::format("systemd has another program's unit {} from {}; {} is not installed", unit_name(),
                             current.foreign, name),
                 "vetra_service_manager install"}};
    }
    diagnosis::Findings found = ServiceManagerBackend::diagnose();
    if (current.status.installation_status != InstallationStatus::INSTALLED) return found;
    if (current.need_reload) {
        found.push_back({"reload", name, Level::WARNING,
                         fmt::format("the unit file {} changed since systemd read it", platform::to_text(unit_path())),
                         "systemctl --user daemon-reload"});
    }
    if (current.status.running_status == RunningStatus::RUNNING) return found;

    auto& manager = connect(ServiceOperation::GET_STATUS);
    std::string result, condition;
    int code = 0, exit_status = 0;
    std::uint32_t restarts = 0;
    std::uint64_t since = 0, changed = 0, restart_usec = 0;
    ask(logger(), ServiceOperation::GET_STATUS, "Failed to read why the service does not run", [&] {
        result = manager.unit_property(unit_name(), linux_bus::SERVICE_INTERFACE, "Result");
        code = manager.unit_int_property(unit_name(), linux_bus::SERVICE_INTERFACE, "ExecMainCode");
        exit_status = manager.unit_int_property(unit_name(), linux_bus::SERVICE_INTERFACE, "ExecMainStatus");
        restarts = manager.unit_uint32_property(unit_name(), linux_bus::SERVICE_INTERFACE, "NRestarts");
        since = manager.unit_uint64_property(unit_name(), linux_bus::UNIT_INTERFACE, "InactiveEnterTimestamp");
        changed = manager.unit_uint64_property(unit_name(), linux_bus::UNIT_INTERFACE, "StateChangeTimestamp");
        restart_usec = manager.unit_uint64_property(unit_name(), linux_bus::SERVICE_INTERFACE, "RestartUSec");
        condition = manager.failed_condition(unit_name());
    });
    const std::string reset = fmt::format("systemctl --user reset-failed {} && {}", unit_name(), start);
    if (!condition.empty()) {
        found.push_back({"condition", name, Level::PROBLEM, fmt::format("its condition {} was not met", condition),
                         fmt::format("meet it, or remove the setting (`systemctl --user cat {}` shows where it is)",
                                     unit_name())});
    } else if (result == "start-limit-hit") {
        found.push_back({"start limit", name, Level::PROBLEM,
                         fmt::format("systemd gave up on {} after it was started too often in a short time", name), reset});
    } else if (current.active == "failed") {
        found.push_back({"failed", name, Level::PROBLEM, fmt::format("systemd marked {} failed (result \"{}\")", name, result),
                         reset});
    }
    std::string ended;
    if (since) ended = "since " + diagnosis::moment(from_usec(since));
    if (code > 0) ended += (ended.empty() ? "" : "; ") + std::string("it last ") + how_it_ended(code, exit_status);
    if (restarts) ended += fmt::format("; systemd restarted it {} time{}", restarts, restarts == 1 ? "" : "s");
    if (current.waiting_to_restart() && changed) {
        ended += "; the next try is at " + diagnosis::moment(from_usec(changed + restart_usec));
    }
    if (!ended.empty()) found.push_back({"last run", name, Level::OK, ended, std::nullopt});
    add_journal_lines(found, name, unit_name());
    return found;
}

diagnosis::Findings LinuxServiceManager::diagnose_session() const {
    diagnosis::Findings found;
    const std::string linger = enable_linger();
    try {
        found.push_back({"user manager", std::nullopt, Level::OK,
                         "the systemd user manager answers through " + context_->manager().reached_through(), std::nullopt});
    } catch (const linux_bus::ConnectError& error) {
        if (!platform::directory_env("XDG_RUNTIME_DIR")) {
            found.push_back({"user manager", std::nullopt, Level::PROBLEM,
                             "XDG_RUNTIME_DIR is not set to an absolute directory: the user manager cannot be found",
                             "export XDG_RUNTIME_DIR=/run/user/" + platform::real_user_id()});
        } else {
            found.push_back({"user manager", std::nullopt, Level::PROBLEM,
                             std::string("cannot reach the systemd user manager (") + error.what() +
                                 "): it runs only while you are logged in, or with lingering on",
                             "log in, or run `" + linger + "`"});
        }
    }
    if (const auto lingering = lingering_finding()) found.push_back(*lingering);
    return found;
}

}  // namespace vetra_service_manager::backends::systemd::linux

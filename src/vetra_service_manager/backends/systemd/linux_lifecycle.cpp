// The systemd backend's own actions of enable, disable, start and stop, and what its steps read:
// the unit's state, with a refusal for a masked unit. Start and stop wait for their job to finish
// rather than polling, and a start is watched settling through the manager's signals.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "vetra_service_manager/backends/systemd/linux.hpp"
#include "vetra_service_manager/backends/systemd/linux_ask.hpp"
#include "vetra_service_manager/backends/systemd/linux_journal.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::backends::systemd::linux {
namespace {

constexpr std::chrono::seconds JOB_TIMEOUT{base::DEFAULT_STATUS_WAIT_TIMEOUT_SECONDS};
// Past systemd's own kill, the time SIGKILL and the clean-up take.
constexpr std::chrono::seconds STOP_MARGIN{10};
// The exit status systemd gives a service whose program it could not execute.
constexpr int EXEC_FAILED = 203;
// A stop time-out of "infinity" is waited for this long at most.
constexpr std::chrono::microseconds LONGEST_STOP{std::chrono::hours(1)};
constexpr int OUTPUT_LINES = 5;

// The last lines the unit wrote, from the user journal, as one line; nothing where the journal
// has none or cannot be read.
std::optional<std::string> last_output(const std::string& unit) {
    const auto out = linux_journal::tail(unit, OUTPUT_LINES);
    if (!out) return std::nullopt;
    std::string joined;
    std::size_t begin = 0;
    while (begin < out->size()) {
        const std::size_t end = std::min(out->find('\n', begin), out->size());
        std::string line = out->substr(begin, end - begin);
        begin = end + 1;
        // A terminal shows the error: no control characters of the service's reach it.
        std::replace_if(line.begin(), line.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7F; }, ' ');
        if (line.find_first_not_of(' ') == std::string::npos) continue;
        if (!joined.empty()) joined += " | ";
        joined += line;
    }
    if (joined.empty()) return std::nullopt;
    return joined;
}

}  // namespace

base::ServiceManagerBackend::StepReading LinuxServiceManager::read_step(ServiceOperation operation) const {
    const auto current = read(operation);
    StepReading reading;
    reading.status = current.status;
    reading.stoppable = current.stoppable();
    const auto runtime = platform::directory_env("XDG_RUNTIME_DIR");
    if (current.file_state == "masked-runtime" ||
        (current.mask && runtime && platform::to_text(*current.mask).starts_with(platform::to_text(*runtime) + "/"))) {
        reading.refusal = fmt::format(
            "The service is masked for this boot; `systemctl --user unmask --runtime {}` allows it to run again",
            unit_name());
    } else if (current.masked()) {
        reading.refusal =
            fmt::format("The service is masked; `systemctl --user unmask {}` allows it to run again", unit_name());
    } else if (!current.foreign.empty() && current.foreign_precedes) {
        reading.refusal = fmt::format(
            "Another program's unit {} ({}) runs or comes before ours where systemd looks for units; ours would not run",
            unit_name(), current.foreign);
    }
    if (operation == ServiceOperation::START && current.need_reload && !current.masked()) {
        // Else systemd would go on running, or start, what the file said before it was edited.
        auto& manager = connect(ServiceOperation::START);
        logger().info("Reloading the systemd user manager");
        ask(logger(), ServiceOperation::START, "Failed to reload the user manager", [&] { manager.reload(); });
    }
    return reading;
}

void LinuxServiceManager::enable_service() {
    auto& manager = connect(ServiceOperation::ENABLE);
    logger().info("Enabling unit {}", unit_name());
    ask(logger(), ServiceOperation::ENABLE, "Failed to enable the service", [&] {
        manager.enable_unit_file(unit_name());
        // Until it rereads its files the manager goes on reporting the unit as it was.
        manager.reload();
    });
}

void LinuxServiceManager::disable_service() {
    auto& manager = connect(ServiceOperation::DISABLE);
    logger().info("Disabling unit {}", unit_name());
    ask(logger(), ServiceOperation::DISABLE, "Failed to disable the service", [&] {
        manager.disable_unit_file(unit_name());
        manager.reload();
    });
}

void LinuxServiceManager::start_service(const StepReading& current) {
    auto& manager = connect(ServiceOperation::START);
    const auto started = std::chrono::steady_clock::now();
    std::string job, active, sub, result, condition, program;
    int exit_status = 0;
    ask(logger(), ServiceOperation::START, "Failed to start the service", [&] {
        // A unit waiting out RestartSec would take a start job as one more wait: restart it now.
        if (current.status.running_status == RunningStatus::RESTARTING) {
            logger().info("Restarting unit {}, which waits to be restarted", unit_name());
            job = manager.restart_unit(unit_name(), JOB_TIMEOUT);
        } else {
            logger().info("Starting unit {}", unit_name());
            job = manager.start_unit(unit_name(), JOB_TIMEOUT);
        }
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
        sub = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "SubState");
        if (active == "active" && sub == "running") return;
        result = manager.unit_property(unit_name(), linux_bus::SERVICE_INTERFACE, "Result");
        exit_status = manager.unit_int_property(unit_name(), linux_bus::SERVICE_INTERFACE, "ExecMainStatus");
        condition = manager.failed_condition(unit_name());
        if (exit_status == EXEC_FAILED) program = manager.exec_program(unit_name());
    });
    if (active != "active" || sub != "running") {
        // What systemd reports, in the words of what happened: a unit whose condition failed never
        // ran (its exit status is the last run's), and one systemd could not execute names no file.
        std::string message;
        if (!condition.empty()) {
            message = fmt::format("Failed to start the service: its condition {} was not met (systemd reports state {}/{})",
                                  condition, active, sub);
        } else if (exit_status == EXEC_FAILED) {
            message = fmt::format("Failed to start the service: systemd could not run the runner {} for {} (missing or "
                                  "not executable)",
                                  program, service_name());
        } else {
            message = fmt::format(
                "Failed to start the service: systemd reports job {}, state {}/{}, result \"{}\", exit status {}", job,
                active, sub, result, exit_status);
        }
        logger().error("{}", message);
        throw ServiceOperationError(ServiceOperation::START, message);
    }
    logger().info("Service {} reached desired status after {:.0f}ms", service_name(),
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
}

std::optional<std::string> LinuxServiceManager::why_not_settled(std::chrono::steady_clock::time_point until) const {
    auto& manager = connect(ServiceOperation::START);
    std::optional<linux_bus::UserManager::ActiveState> left;
    std::string active, sub, result;
    int exit_status = 0;
    ask(logger(), ServiceOperation::START, "Failed to watch the service", [&] {
        left = manager.watch_running(unit_name(), until);
        if (!left) return;
        logger().debug("Unit {} left active/running for {}/{}", unit_name(), left->active, left->sub);
        // The state it went on to, as the user will find it: the first one may have been a step
        // on the way (failed, on the way to waiting to be restarted).
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
        sub = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "SubState");
        result = manager.unit_property(unit_name(), linux_bus::SERVICE_INTERFACE, "Result");
        exit_status = manager.unit_int_property(unit_name(), linux_bus::SERVICE_INTERFACE, "ExecMainStatus");
    });
    if (!left) return std::nullopt;
    std::string why =
        fmt::format("systemd reports state {}/{}, result \"{}\", exit status {}", active, sub, result, exit_status);
    if (const auto output = last_output(unit_name())) why += "; its last output: " + *output;
    return why;
}

void LinuxServiceManager::stop_service(const StepReading&) {
    stop_unit(connect(ServiceOperation::STOP), ServiceOperation::STOP);
}

void LinuxServiceManager::stop_unit(linux_bus::UserManager& manager, ServiceOperation operation) {
    std::string job, active;
    ask(logger(), operation, "Failed to stop the service", [&] {
        // Also true of a unit the manager could not load: there is nothing to stop.
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
        if (active == "inactive" || active == "failed") return;
        // systemd gives the unit its TimeoutStopUSec before it kills it; giving up sooner would
        // report a failure for a stop that is still on its way.
        const auto allowed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::microseconds(
            std::min<std::uint64_t>(manager.unit_uint64_property(unit_name(), linux_bus::SERVICE_INTERFACE, "TimeoutStopUSec"),
                                    LONGEST_STOP.count())));
        logger().info("Stopping unit {}", unit_name());
        job = manager.stop_unit(unit_name(), allowed + STOP_MARGIN, [&] {
            logger().warn("Waiting for {} to stop (systemd allows it {} s)", service_name(), allowed.count());
        });
        active = manager.unit_property(unit_name(), linux_bus::UNIT_INTERFACE, "ActiveState");
    });
    if (active != "inactive" && active != "failed") {
        const std::string message =
            fmt::format("Failed to stop the service: systemd reports job {}, state {}", job, active);
        logger().error("{}", message);
        throw ServiceOperationError(operation, message);
    }
}

}  // namespace vetra_service_manager::backends::systemd::linux

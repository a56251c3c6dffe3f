#pragma once
// macOS launchd service manager: one service as a LaunchAgent in the user's GUI domain, driven
// through launchctl. Every question about the agent is asked of launchctl afresh; an instance
// remembers only its identity.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace vetra_service_manager::backends::launchd::macos {

// A log file larger than this is trimmed at the agent's launch, down to its last LOG_KEEP_BYTES.
inline constexpr std::uint64_t LOG_SIZE_LIMIT_BYTES = 10485760;
inline constexpr std::uint64_t LOG_KEEP_BYTES = 5242880;

// The POSIX shell's quoting: the text unchanged when it is made only of characters no shell
// treats specially, otherwise single-quoted.
std::string shell_quote(std::string_view text);

// {"/bin/bash", "-c", command}: the command trims both log files when they are oversized, then
// replaces the shell with the program. The trim rewrites each file in place, because launchd has
// already opened them as the program's standard output and error.
std::vector<std::string> _build_program_arguments_with_log_rotation(const std::vector<std::string>& program_arguments,
                                                                    const std::filesystem::path& out_log,
                                                                    const std::filesystem::path& err_log);

// The value of a `launchctl print` line "<name> = <value>"; the first such line is the agent's own
// (nested blocks such as the coalitions come after). Empty when there is none.
std::string print_field(const std::string& description, const std::string& name);

// What the agents of one command share: with shared readings, the domain's disabled list, read by
// the first status and reused by the others.
class MacOSContext {
public:
    explicit MacOSContext(base::Readings readings = base::Readings::FRESH) : readings_(readings) {}
    // `launchctl print-disabled` as `read` returns it: run once for the whole command when the
    // readings are shared, else on every call.
    const platform::process::Captured& disabled_list(const std::function<platform::process::Captured()>& read);

private:
    base::Readings readings_;
    std::optional<platform::process::Captured> disabled_list_;
};

class MacOSServiceManager : public base::ServiceManagerBackend {
public:
    // Touches nothing on disk and starts no process. `context`: what the command's agents share;
    // by default one of its own, with fresh readings.
    MacOSServiceManager(std::string service_name, std::filesystem::path app_dir,
                        std::shared_ptr<MacOSContext> context = nullptr);

    void uninstall(bool raise_if_not_installed = false) override;
    status::ServiceStatus status() const override;
    std::optional<version::Version> version() const override;

    // Decimal real user id, read at construction.
    const std::string& user_id() const noexcept { return user_id_; }
    // "com.norvale.<service name>": the agent's launchd label.
    const std::string& bundle_identifier() const noexcept { return bundle_identifier_; }
    // ~/Library/LaunchAgents/<label>.plist
    const std::filesystem::path& plist_path() const noexcept { return plist_path_; }
    // <app_dir>/<service name>_logs, home of out.log and err.log.
    std::filesystem::path log_dir() const;
    // out.log and err.log in log_dir(), where launchd writes the agent's output.
    std::vector<base::LogFile> log_files() const override;
    // app_dir() and ~/Library/LaunchAgents.
    std::vector<std::filesystem::path> places_written() const override;
    // Why the agent does not run, as launchd shows it, and logs past the trimming size
    // (macos_doctor.cpp); the session: whether there is a GUI domain, and Full Disk Access.
    diagnosis::Findings diagnose() const override;
    diagnosis::Findings diagnose_session() const override;

private:
    void enable_service() override;
    void disable_service() override;
    void start_service(const StepReading& current) override;
    void stop_service(const StepReading& current) override;
    void write_definition(const std::vector<std::string>& program_arguments, const version::Version& version) override;
    // An agent that did not stay up is still loaded, and launchd would launch it again after its
    // throttle, property list gone or not: it is booted out before the uninstall.
    std::string clean_up_failed_install() noexcept override;
    std::string domain_target() const;
    std::string service_target() const;
    // launchctl with these arguments, output captured, no time-out. A launchctl that cannot be
    // started raises platform::process::StartError.
    platform::process::Captured launchctl(std::vector<std::string> arguments) const;
    // Whether launchd reports the agent running: one `launchctl print`, all a wait's poll needs.
    // `description`, when given, receives what print showed (empty: the label is not loaded).
    bool agent_running(std::string* description = nullptr) const;
    // Polls `launchctl print`; the reason quotes the agent's state and its last exit code.
    std::optional<std::string> why_not_settled(std::chrono::steady_clock::time_point until) const override;

    std::shared_ptr<MacOSContext> context_;
    std::string user_id_;
    std::string bundle_identifier_;
    std::filesystem::path plist_path_;
    std::regex enablement_pattern_;  // the label's line in `launchctl print-disabled`
};

}  // namespace vetra_service_manager::backends::launchd::macos

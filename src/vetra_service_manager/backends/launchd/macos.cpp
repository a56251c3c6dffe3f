// Identity, status queries, the installed version and the status wait of the launchd backend.
#include "vetra_service_manager/backends/launchd/macos.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "vetra_service_manager/backends/launchd/plist.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::backends::launchd::macos {
namespace fs = std::filesystem;
namespace {

constexpr const char* LOGGER_NAME = "vetra_service_manager.backends.launchd.macos";
constexpr const char* LABEL_PREFIX = "com.norvale.";

// Makes every character of `text` match only itself: each ECMAScript metacharacter gets a backslash.
std::string regex_escape(std::string_view text) {
    static constexpr std::string_view metacharacters = R"(\^$.|?*+()[]{})";
    std::string escaped;
    for (char c : text) {
        if (metacharacters.find(c) != std::string_view::npos) escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

// Whether the agent's property list is there; a failure to look is `operation`'s error, never
// "not installed", or an uninstall would skip an agent that launchd keeps loaded.
bool plist_exists(const fs::path& path, ServiceOperation operation) {
    try {
        return platform::files::exists(path);
    } catch (const fs::filesystem_error& error) {
        std::throw_with_nested(ServiceOperationError(
            operation, "Cannot check the property list " + platform::to_text(path) + ": " + error.code().message()));
    }
}

// "<label>" => (word), with the label matched literally.
std::string enablement_regex(const std::string& label) {
    std::string pattern(1, '"');
    pattern += regex_escape(label);
    pattern += "\" => (\\w+)";
    return pattern;
}

}  // namespace

std::string print_field(const std::string& description, const std::string& name) {
    const std::regex pattern("(^|\\n)\\s*" + regex_escape(name) + " = ([^\\n]*)");
    std::smatch match;
    return std::regex_search(description, match, pattern) ? match[2].str() : std::string();
}

const platform::process::Captured& MacOSContext::disabled_list(
    const std::function<platform::process::Captured()>& read) {
    if (!disabled_list_ || readings_ == base::Readings::FRESH) disabled_list_ = read();
    return *disabled_list_;
}

MacOSServiceManager::MacOSServiceManager(std::string service_name, fs::path app_dir,
                                         std::shared_ptr<MacOSContext> context)
    : ServiceManagerBackend(std::move(service_name), std::move(app_dir), logging::get_logger(LOGGER_NAME)),
      context_(context ? std::move(context) : std::make_shared<MacOSContext>()),
      user_id_(platform::real_user_id()),
      bundle_identifier_(LABEL_PREFIX + this->service_name()),
      plist_path_(platform::home_dir() / "Library" / "LaunchAgents" / (bundle_identifier_ + ".plist")),
      enablement_pattern_(enablement_regex(bundle_identifier_)) {
    logger().info("MacOSServiceManager initialized for service: {}", this->service_name());
    logger().debug("plist_path: {}, app_dir: {}", platform::to_text(plist_path_), platform::to_text(this->app_dir()));
}

fs::path MacOSServiceManager::log_dir() const { return app_dir() / (service_name() + "_logs"); }

std::vector<base::LogFile> MacOSServiceManager::log_files() const {
    return {{"standard output", log_dir() / "out.log"}, {"standard error", log_dir() / "err.log"}};
}

std::string MacOSServiceManager::domain_target() const { return "gui/" + user_id_; }

std::string MacOSServiceManager::service_target() const { return domain_target() + "/" + bundle_identifier_; }

platform::process::Captured MacOSServiceManager::launchctl(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "launchctl");
    return platform::process::run_captured(arguments);
}

status::ServiceStatus MacOSServiceManager::status() const {
    logger().debug("Checking status of service: {}", service_name());
    ServiceStatus result{InstallationStatus::NOT_INSTALLED, EnablementStatus::DISABLED, RunningStatus::NOT_RUNNING};
    if (!plist_exists(plist_path_, ServiceOperation::GET_STATUS)) return result;

    logger().debug("Plist file exists, service is installed");
    result.installation_status = InstallationStatus::INSTALLED;

    const auto& disabled_list =
        context_->disabled_list([this] { return launchctl({"print-disabled", domain_target()}); });
    if (disabled_list.exit_code == 0) {
        std::smatch match;
        if (std::regex_search(disabled_list.out, match, enablement_pattern_)) {
            const std::string state = match[1].str();
            logger().debug("Service enablement state from launchctl: {}", state);
            if (state == "disabled") {
                result.enablement_status = EnablementStatus::DISABLED;
            } else if (state == "enabled") {
                result.enablement_status = EnablementStatus::ENABLED;
            } else {
                logger().error("Unknown service enablement state: {}", state);
                throw ServiceOperationError(ServiceOperation::GET_STATUS, "Unknown service enablement state: " + state);
            }
        } else {
            logger().debug("Service not found in disabled list, assuming enabled");
            result.enablement_status = EnablementStatus::ENABLED;
        }
    } else {
        logger().warn("Failed to check service enablement status");
    }

    if (agent_running()) result.running_status = RunningStatus::RUNNING;
    logger().info("Service {} status: {}", service_name(), status::to_string(result));
    return result;
}

bool MacOSServiceManager::agent_running(std::string* description) const {
    const auto print = launchctl({"print", service_target()});
    if (description) description->clear();
    if (print.exit_code != 0) {
        logger().debug("Service is not found in launchctl");
        return false;
    }
    if (description) *description = print.out;
    static const std::regex state_pattern(R"(state\s*=\s*(\w+))");
    std::smatch match;
    const bool found = std::regex_search(print.out, match, state_pattern);
    if (found && match[1].str() == "running") {
        logger().debug("Service is running");
        return true;
    }
    logger().debug("Service is not running, state: {}", found ? match[1].str() : std::string("unknown"));
    return false;
}

std::optional<std::string> MacOSServiceManager::why_not_settled(std::chrono::steady_clock::time_point until) const {
    std::string description;
    if (_stays_up_until([&] { return agent_running(&description); }, until)) return std::nullopt;
    if (description.empty()) return "launchd no longer has it loaded";
    std::string why = "launchd reports state \"" + print_field(description, "state") + "\"";
    // "(never exited)" until its process has ended once.
    const std::string exit_code = print_field(description, "last exit code");
    if (!exit_code.empty() && !exit_code.starts_with("(")) why += ", last exit code " + exit_code;
    return why;
}

std::optional<version::Version> MacOSServiceManager::version() const {
    constexpr const char* not_found = "Plist file not found, service may not be installed";
    const std::string failure = "Failed to read version from plist file: ";
    try {
        logger().debug("Reading version from plist file: {}", platform::to_text(plist_path_));
        if (!plist_exists(plist_path_, ServiceOperation::GET_VERSION)) {
            logger().warn(not_found);
            return std::nullopt;
        }
        const auto content = platform::files::read_file(plist_path_);
        if (!content) {
            logger().warn(not_found);
            return std::nullopt;
        }
        const auto value = plist::Dict::parse(*content).get_string("Version");
        if (value && !value->empty()) {
            logger().debug("Version found in plist file: {}", *value);
            return version::Version(*value);
        }
        logger().error("{}Version key missing", failure);
        throw ServiceOperationError(ServiceOperation::GET_VERSION, failure + "Version key missing");
    } catch (const ServiceOperationError&) {
        throw;  // already ours: passed on as raised
    } catch (const std::exception& error) {
        logger().error("{}{}", failure, error.what());
        std::throw_with_nested(ServiceOperationError(ServiceOperation::GET_VERSION, failure + error.what()));
    }
}

}  // namespace vetra_service_manager::backends::launchd::macos

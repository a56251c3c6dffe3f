// Package inventory, self-remove and pip install: the runner acts on its own environment through
// its `self` commands; we only read what it prints and how it exits.
#include "vetra_service_manager/cli/_runnerops.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

#include "vetra_service_manager/cli/_runnerops_internal.hpp"
#include "vetra_service_manager/logging.hpp"
#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::cli::_runnerops {
namespace fs = std::filesystem;

namespace detail {

spdlog::logger& logger() {
    static auto instance = logging::get_logger("vetra_service_manager.cli._runnerops");
    return *instance;
}

std::string runner_program(const fs::path& runner) {
    if (runner.has_parent_path()) return platform::to_text(runner);
    return platform::to_text(fs::path(".") / runner);
}

std::string describe_failure(const platform::process::Completed& result, int timeout_seconds) {
    if (result.timed_out) return "timed out after " + std::to_string(timeout_seconds) + "s";
    if (result.exit_code < 0) return "terminated by signal " + std::to_string(-result.exit_code);
    return "exit status " + std::to_string(result.exit_code);
}

}  // namespace detail

namespace {

using detail::logger;

const std::string EXTRA_PACKAGE_PREFIX = "vetra-sync-agent-";

platform::process::Timeout seconds(int timeout) { return std::chrono::seconds(timeout); }

// A malformed record (not an object, or a "name" that is not a string) has no name.
std::string name_of(const PackageRecord& pkg) {
    if (!pkg.is_object()) return {};
    auto found = pkg.find("name");
    if (found == pkg.end() || !found->is_string()) return {};
    return found->get<std::string>();
}

// Enough of an unexpected document to recognise it in an error line.
std::string excerpt(const PackageRecord& document) {
    constexpr std::size_t limit = 200;
    std::string text = document.dump();
    if (text.size() > limit) text = text.substr(0, limit) + "...";
    return text;
}

}  // namespace

std::string normalize_package_name(std::string_view name) {
    std::string result(name);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) {
        return c == '_' ? '-' : static_cast<char>(std::tolower(c));
    });
    return result;
}

std::vector<PackageRecord> pip_list_via_runner(const fs::path& runner_binary, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_captured({detail::runner_program(runner_binary), "self", "pip", "list", "--format=json"}, seconds(timeout));
    if (result.timed_out || result.exit_code != 0) {
        logger().warn("Failed to list packages via {}: {}", runner, detail::describe_failure(result, timeout));
        return {};
    }
    PackageRecord document;
    try {
        // Strict parse: empty output, trailing text and invalid UTF-8 are all failures.
        document = PackageRecord::parse(result.out);
    } catch (const PackageRecord::parse_error& error) {
        logger().warn("Failed to list packages via {}: {}", runner, error.what());
        return {};
    }
    if (!document.is_array()) {
        // The runner answered, but not with a package list: that is not "no packages".
        throw std::runtime_error("Package list from '" + runner + " self pip list' is not a JSON array but " +
                                 std::string(document.type_name()) + ": " + excerpt(document));
    }
    return {std::make_move_iterator(document.begin()), std::make_move_iterator(document.end())};
}

bool is_editable_install(const PackageRecord& pkg) {
    return pkg.is_object() && pkg.contains("editable_project_location");
}

bool is_migratable_extra(const PackageRecord& pkg) {
    const std::string name = normalize_package_name(name_of(pkg));
    if (name.empty() || BAKED_IN_PACKAGES.count(name) != 0) return false;
    if (name.rfind(EXTRA_PACKAGE_PREFIX, 0) != 0) return false;
    // Editable installs point at a source tree that may not suit, or exist for, the new runner.
    return !is_editable_install(pkg);
}

bool runner_self_remove(const fs::path& runner_binary, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_inherited({detail::runner_program(runner_binary), "self", "remove"}, seconds(timeout));
    if (!result.timed_out && result.exit_code == 0) return true;
    logger().warn("'{} self remove' failed: {}", runner, detail::describe_failure(result, timeout));
    return false;
}

bool runner_self_pip_install(const fs::path& runner_binary, const std::string& spec, int timeout) {
    const std::string runner = platform::to_text(runner_binary);
    const auto result = platform::process::run_inherited({detail::runner_program(runner_binary), "self", "pip", "install", spec}, seconds(timeout));
    if (!result.timed_out && result.exit_code == 0) return true;
    logger().warn("'{} self pip install {}' failed: {}", runner, spec, detail::describe_failure(result, timeout));
    return false;
}

}  // namespace vetra_service_manager::cli::_runnerops

#include "vetra_service_manager/cli/install.hpp"

#include <algorithm>
#include <iostream>
#include <optional>

#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/config.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"
#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::cli::install {
namespace fs = std::filesystem;
namespace runnerops = _runnerops;
namespace registry = services::registry;

namespace {

// Every line is flushed at once: the runners started in between write to the same terminal.
void say(const std::string& line) { std::cout << line << std::endl; }

std::string text(const fs::path& path) { return platform::to_text(path); }

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string result;
    for (const auto& item : items) {
        if (!result.empty()) result += separator;
        result += item;
    }
    return result;
}

// A record's member as text: strings as they are, null or absent as `fallback`, anything else (a
// number, say) as JSON.
std::string member_text(const runnerops::PackageRecord& pkg, const char* key, const std::string& fallback) {
    if (!pkg.is_object()) return fallback;
    const auto found = pkg.find(key);
    if (found == pkg.end() || found->is_null()) return fallback;
    return found->is_string() ? found->get<std::string>()
                              : found->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The same file once links are resolved.
bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

// Where an existing `path` really is: its directory with every link and ".." resolved as the system
// resolves them, its own name kept. The bundle walk is lexical, so it must see this form: in
// "<bundle>/../other/runner" it would otherwise find <bundle>.
fs::path located(const fs::path& path) {
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") return fs::canonical(path);
    return fs::canonical(path.has_parent_path() ? path.parent_path() : fs::path(".")) / name;
}

// Whether `inner` is `outer` or lies somewhere inside it, both resolved.
bool is_or_contains(const fs::path& outer, const fs::path& inner) {
    const fs::path a = fs::weakly_canonical(outer);
    const fs::path b = fs::weakly_canonical(inner);
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first == a.end();
}

// The previous binary's path, or its bundle, when that holds the current runner: removing either
// would remove the runner being installed.
std::optional<fs::path> holder_of(const fs::path& current_runner, const fs::path& previous) {
    if (is_or_contains(previous, current_runner)) return previous;
    const auto bundle = runnerops::bundle_root_for(previous);
    if (bundle && is_or_contains(*bundle, current_runner)) return bundle;
    return std::nullopt;
}

}  // namespace

void add_arguments(CLI::App& parser, Options& args) {
    args.version = config::package_version();
    parser.add_option("--version", args.version,
                      "Version string written to the LaunchAgent plist (default: " + config::package_version() + ")");
    parser.add_option("--previous-binary", args.previous_binary,
                      "Path to a previous runner binary (typically inside an 'Vetra Service.app.previous' bundle "
                      "left by the postinstall) whose env should be migrated and removed. Migration carries over "
                      "user-installed extras (PyPI-only); editable installs are skipped with a notice.");
    parser.add_flag("--force", args.force,
                    "Re-install even if the previous bundle has the same CFBundleVersion as the current one. By "
                    "default, same-version installs are a no-op.");
}

bool _versions_match(const fs::path& previous_binary) {
    const auto current_runner = services::_paths::default_runner_install_location().resolve();
    const auto prev_v = runnerops::bundle_version_for_runner(previous_binary);
    const auto cur_v = runnerops::bundle_version_for_runner(current_runner);
    return prev_v && cur_v && *prev_v == *cur_v;
}

void _migrate_from_previous(const fs::path& previous_binary, const fs::path& current_runner) {
    say("\nMigrating from previous install: " + text(previous_binary));
    const auto pkgs = runnerops::pip_list_via_runner(previous_binary);
    if (pkgs.empty()) {
        say("  (no packages enumerated \u2014 previous env may be unreachable; continuing without extras migration)");
    } else {
        std::vector<std::pair<std::string, std::string>> to_install;
        std::vector<std::pair<std::string, std::string>> skipped_editable;
        std::vector<std::string> skipped_unversioned;
        for (const auto& pkg : pkgs) {
            const auto name = runnerops::normalize_package_name(member_text(pkg, "name", ""));
            if (name.empty() || runnerops::BAKED_IN_PACKAGES.contains(name)) continue;
            if (runnerops::is_editable_install(pkg)) {
                skipped_editable.emplace_back(name, member_text(pkg, "editable_project_location", "?"));
            } else if (runnerops::is_migratable_extra(pkg)) {
                // Without the old version an install would take whatever the index offers today.
                const std::string version = member_text(pkg, "version", "");
                if (version.empty()) {
                    skipped_unversioned.push_back(name);
                } else {
                    to_install.emplace_back(name, version);
                }
            }
        }
        if (to_install.empty()) {
            say("  no PyPI extras found to migrate");
        } else {
            std::vector<std::string> names;
            for (const auto& [name, version] : to_install) names.push_back(name);
            say("  carrying over " + std::to_string(to_install.size()) + " extra(s): " + joined(names, ", "));
            std::vector<std::string> failed;
            for (const auto& [name, version] : to_install) {
                platform::interrupts::check();
                const std::string spec = name + "==" + version;
                if (runnerops::runner_self_pip_install(current_runner, spec)) {
                    say("    \u2713 " + spec);
                } else {
                    say("    \u2717 " + spec + "  (continuing)");
                    failed.push_back(spec);
                }
            }
            if (!failed.empty()) {
                say("\n  WARNING: " + std::to_string(failed.size()) + " extra(s) failed to install in the new env:");
                for (const auto& spec : failed) say("    - " + spec);
                say("  Re-install them manually with: <runner> self pip install <spec>");
            }
        }
        if (!skipped_unversioned.empty()) {
            say("\n  NOTE: " + std::to_string(skipped_unversioned.size()) +
                " extra(s) NOT migrated, the previous env lists no version for them (re-install manually if "
                "needed):");
            for (const auto& name : skipped_unversioned) say("    - " + name);
        }
        if (!skipped_editable.empty()) {
            say("\n  NOTE: " + std::to_string(skipped_editable.size()) +
                " editable install(s) NOT migrated (re-install manually if needed):");
            for (const auto& [name, location] : skipped_editable) say("    - " + name + "  (was: " + location + ")");
        }
    }

    platform::interrupts::check();
    say("\n  cleaning up previous env via '" + text(previous_binary) + " self remove'...");
    if (runnerops::runner_self_remove(previous_binary)) {
        say("  \u2713 previous env removed");
    } else {
        say("  \u2717 'self remove' failed; the previous env may need manual cleanup");
    }

    const auto prev_bundle = runnerops::bundle_root_for(previous_binary);
    if (!prev_bundle) return;
    try {
        if (is_or_contains(*prev_bundle, current_runner)) {
            say("  - kept " + text(*prev_bundle) + ": it holds the current runner");
        } else if (platform::files::exists(*prev_bundle)) {
            fs::remove_all(*prev_bundle);
            say("  \u2713 removed previous bundle: " + text(*prev_bundle));
        }
    } catch (const fs::filesystem_error& error) {
        say("  \u2717 could not remove " + text(*prev_bundle) + ": " + error.code().message());
    }
}

int run(const Options& args) {
    const version::Version version(args.version);
    const auto current_runner = services::_paths::default_runner_install_location().resolve();

    say("Installing Vetra services...");
    say("  runner:  " + text(current_runner));
    say("  version: " + version.str());

    if (args.previous_binary) {
        const fs::path& prev = *args.previous_binary;
        enum class Plan { NOT_FOUND, CURRENT_RUNNER, HOLDS_CURRENT_RUNNER, SAME_VERSION, MIGRATE } plan;
        fs::path previous;
        std::optional<fs::path> holder;
        try {
            if (!platform::files::exists(prev)) {
                plan = Plan::NOT_FOUND;
            } else if (previous = located(prev); same_file(previous, current_runner)) {
                plan = Plan::CURRENT_RUNNER;
            } else if (holder = holder_of(current_runner, previous); holder) {
                plan = Plan::HOLDS_CURRENT_RUNNER;
            } else if (_versions_match(previous) && !args.force) {
                plan = Plan::SAME_VERSION;
            } else {
                plan = Plan::MIGRATE;
            }
        } catch (const fs::filesystem_error& error) {
            std::throw_with_nested(ServiceOperationError(
                ServiceOperation::INSTALL, "Cannot check --previous-binary " + text(prev) + ": " + error.code().message()));
        }
        switch (plan) {
            case Plan::NOT_FOUND:
                say("\n--previous-binary not found at " + text(prev) + "; skipping migration.");
                break;
            case Plan::CURRENT_RUNNER:
                // Its `self remove` would wipe the environment being installed, and the bundle removal
                // the runner itself.
                say("\n--previous-binary " + text(prev) + " is the current runner itself; skipping migration.");
                break;
            case Plan::HOLDS_CURRENT_RUNNER:
                say("\n--previous-binary " + text(prev) + " leads to " + text(*holder) +
                    ", which holds the current runner; skipping migration.");
                break;
            case Plan::SAME_VERSION:
                say("\nPrevious binary at " + text(prev) +
                    " reports the SAME CFBundleVersion as the new runner \u2014 nothing to migrate. Pass --force to "
                    "run migration anyway.");
                break;
            case Plan::MIGRATE:
                _migrate_from_previous(previous, current_runner);
                break;
        }
    }

    say("\nRegistering services...");
    for (const registry::RegistryEntry* entry : {&registry::sync_agent, &registry::sync_api}) {
        // Stopping is safe only between services: the backend either completes one or removes it again.
        platform::interrupts::check();
        entry->get_service().install(version);
        say("  \u2713 " + entry->service_name() + " (installed, enabled, started)");
    }
    say("\nInstall complete.");
    return 0;
}

}  // namespace vetra_service_manager::cli::install

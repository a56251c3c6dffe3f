#include "vetra_service_manager/cli/install.hpp"

#include <iostream>

#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/config.hpp"
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

// A record's member as text: strings as they are, anything else (a number, say) as JSON.
std::string member_text(const runnerops::PackageRecord& pkg, const char* key, const std::string& fallback) {
    if (!pkg.is_object()) return fallback;
    const auto found = pkg.find(key);
    if (found == pkg.end()) return fallback;
    return found->is_string() ? found->get<std::string>() : found->dump();
}

// The same file once links are resolved.
bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
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
        for (const auto& pkg : pkgs) {
            const auto name = runnerops::normalize_package_name(member_text(pkg, "name", ""));
            if (name.empty() || runnerops::BAKED_IN_PACKAGES.contains(name)) continue;
            if (runnerops::is_editable_install(pkg)) {
                skipped_editable.emplace_back(name, member_text(pkg, "editable_project_location", "?"));
            } else if (runnerops::is_migratable_extra(pkg)) {
                to_install.emplace_back(name, member_text(pkg, "version", ""));
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
                const std::string spec = version.empty() ? name : name + "==" + version;
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
    if (prev_bundle && fs::exists(*prev_bundle)) {
        try {
            fs::remove_all(*prev_bundle);
            say("  \u2713 removed previous bundle: " + text(*prev_bundle));
        } catch (const fs::filesystem_error& error) {
            say("  \u2717 could not remove " + text(*prev_bundle) + ": " + error.code().message());
        }
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
        if (!fs::exists(prev)) {
            say("\n--previous-binary not found at " + text(prev) + "; skipping migration.");
        } else if (same_file(prev, current_runner)) {
            // Its `self remove` would wipe the environment being installed, and the bundle removal the
            // runner itself.
            say("\n--previous-binary " + text(prev) + " is the current runner itself; skipping migration.");
        } else if (_versions_match(prev) && !args.force) {
            say("\nPrevious binary at " + text(prev) +
                " reports the SAME CFBundleVersion as the new runner \u2014 nothing to migrate. Pass --force to run "
                "migration anyway.");
        } else {
            _migrate_from_previous(prev, current_runner);
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

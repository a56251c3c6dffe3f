#include "vetra_service_manager/cli/install.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
#include <iterator>
#include <string_view>
#include <system_error>

#include <fmt/format.h>
#include <optional>

#include "vetra_service_manager/cli/_install_notes.hpp"
#include "vetra_service_manager/cli/_output.hpp"
#include "vetra_service_manager/cli/_report.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/config.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/interrupts.hpp"
#include "vetra_service_manager/platform/path_trust.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/text.hpp"
#include "vetra_service_manager/services/_paths.hpp"
#include "vetra_service_manager/services/registry.hpp"
#include "vetra_service_manager/version.hpp"

namespace vetra_service_manager::cli::install {
namespace fs = std::filesystem;
namespace runnerops = _runnerops;
namespace registry = services::registry;

using _output::say;
using platform::text::printable;

namespace {

std::string text(const fs::path& path) { return printable(platform::to_text(path)); }

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

// A distribution name as packaging defines it: letters, digits, ".", "_" and "-", starting and
// ending with a letter or digit. The name reaches pip's command line: "x @ https://..." would be
// read as a direct reference, "--index-url=..." as an option.
bool is_extra_name(std::string_view name) {
    constexpr std::string_view prefix = "vetra-sync-agent-";
    if (!name.starts_with(prefix)) return false;
    const std::string_view rest = name.substr(prefix.size());
    const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    return !rest.empty() && alnum(rest.front()) && alnum(rest.back()) &&
           std::all_of(rest.begin(), rest.end(), [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; });
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

// `ancestor`, a directory above `found` (where `given` really is, as located() says), as the user
// would write it: `given` less as many trailing names, when that leads to the same directory; else
// `ancestor` itself (a link or ".." among those names can make the short form lead elsewhere).
fs::path as_given(const fs::path& given, const fs::path& found, const fs::path& ancestor) {
    const fs::path below = found.lexically_relative(ancestor);
    fs::path shortened = given;
    for (auto names = std::distance(below.begin(), below.end()); names > 0; --names) shortened = shortened.parent_path();
    return !shortened.empty() && same_file(shortened, ancestor) ? shortened : ancestor;
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
    // Shown as given; started, and its bundle looked for, where it really is.
    const fs::path previous = located(previous_binary);
    const auto pkgs = runnerops::pip_list_via_runner(previous);
    if (pkgs.empty()) {
        say("  (no packages enumerated \u2014 previous env may be unreachable; continuing without extras migration)");
    } else {
        std::vector<std::pair<std::string, std::string>> to_install;
        std::vector<std::pair<std::string, std::string>> skipped_editable;
        std::vector<std::pair<std::string, std::string>> rejected;  // (name, why)
        for (const auto& pkg : pkgs) {
            const auto name = runnerops::normalize_package_name(member_text(pkg, "name", ""));
            if (name.empty() || runnerops::BAKED_IN_PACKAGES.contains(name)) continue;
            if (runnerops::is_editable_install(pkg)) {
                skipped_editable.emplace_back(name, member_text(pkg, "editable_project_location", "?"));
            } else if (runnerops::is_migratable_extra(pkg)) {
                // Everything here ends up on pip's command line: only a plain name and a plain
                // version may, the version in its normalised form. No version: unpinned.
                const std::string listed = member_text(pkg, "version", "");
                if (!is_extra_name(name)) {
                    rejected.emplace_back(name, "not a valid package name");
                } else if (listed.empty()) {
                    to_install.emplace_back(name, "");
                } else {
                    try {
                        to_install.emplace_back(name, version::Version(listed).str());
                    } catch (const version::InvalidVersion&) {
                        rejected.emplace_back(name, "version '" + printable(listed) + "' is not a PEP 440 version");
                    }
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
        if (!rejected.empty()) {
            say("\n  NOTE: " + std::to_string(rejected.size()) + " extra(s) NOT migrated (re-install manually if needed):");
            for (const auto& [name, why] : rejected) say("    - " + printable(name) + "  (" + why + ")");
        }
        if (!skipped_editable.empty()) {
            say("\n  NOTE: " + std::to_string(skipped_editable.size()) +
                " editable install(s) NOT migrated (re-install manually if needed):");
            for (const auto& [name, location] : skipped_editable) {
                say("    - " + printable(name) + "  (was: " + printable(location) + ")");
            }
        }
    }

    platform::interrupts::check();
    say("\n  cleaning up previous env via '" + text(previous_binary) + " self remove'...");
    if (runnerops::runner_self_remove(previous)) {
        say("  \u2713 previous env removed");
    } else {
        say("  \u2717 'self remove' failed; the previous env may need manual cleanup");
    }

    const auto prev_bundle = runnerops::bundle_root_for(previous);
    if (!prev_bundle) return;
    // Named as the binary was given; decided on where it really is. Worked out before it is removed.
    const std::string shown = text(as_given(previous_binary, previous, *prev_bundle));
    try {
        if (is_or_contains(*prev_bundle, current_runner)) {
            say("  - kept " + shown + ": it holds the current runner");
        } else if (!platform::files::exists(*prev_bundle)) {
            return;
        } else if (runnerops::owned_bundle_for(previous) != prev_bundle) {
            say("  - no previous bundle found: " + shown +
                " does not hold the runner as Contents/MacOS/vetra_service_runner beside Contents/Info.plist; "
                "nothing removed");
        } else {
            platform::files::remove_tree(*prev_bundle);
            say("  \u2713 removed previous bundle: " + shown);
        }
    } catch (const std::system_error& error) {
        say("  \u2717 could not remove " + shown + ": " + error.code().message());
    }
}

int run(const Options& args) {
    const version::Version version(args.version);
    const auto current_runner = services::_paths::default_runner_install_location().resolve();

    // Everything that can fail before a change is checked before migration removes anything.
    const auto command = registry::command();
    for (const registry::RegistryEntry* entry : registry::install_order) {
        entry->get_service(command).backend().check_installable();
    }

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
            } else if (auto why = platform::path_trust::first_untrusted_program(previous)) {
                throw ServiceOperationError(ServiceOperation::INSTALL, "Refusing to run " + text(prev) + ": " + *why);
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
                _migrate_from_previous(prev, current_runner);
                break;
        }
    }

    say("\nRegistering services...");
    // Each service's settling time runs while the next one is installed.
    _report::Report report;
    std::exception_ptr stopped;
    try {
        for (const registry::RegistryEntry* entry : {&registry::sync_agent, &registry::sync_api}) {
            // Stopping is safe only between services: the backend either completes one or removes
            // it again, and the services begun are settled before the command ends.
            platform::interrupts::check();
            auto service = entry->get_service(command);
            service.install(version, registry::ServiceHandle::Settle::LATER);
            const auto kept = _install_notes::kept_version(service, version);
            report.add(std::move(service), "  \u2713 " + entry->service_name() + " (installed, enabled, started)" +
                                               (kept ? "\n" + *kept : ""));
        }
    } catch (...) {
        stopped = std::current_exception();
    }
    report.finish(stopped);
    say("\nInstall complete.");
    for (const auto& warning : _install_notes::session_warnings(command)) say(warning);
    return 0;
}

}  // namespace vetra_service_manager::cli::install

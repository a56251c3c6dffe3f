#pragma once
// Everything that asks a runner binary to act on its own environment, through its `self` commands
// only: listing packages, installing one, removing the environment, tearing the runner down, and
// reading the version of the macOS app bundle that holds it.
//
// Failures of the runner's own commands (non-zero exit, time-out, unparsable output) are absorbed:
// one warning line and an empty/false result. A runner that cannot be started at all raises
// platform::process::StartError.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vetra_service_manager/platform/process_table.hpp"

namespace vetra_service_manager::cli::_runnerops {

// One element of `self pip list --format=json`, exactly as parsed.
using PackageRecord = nlohmann::ordered_json;

// The runner's baked-in requirements, already normalised.
inline const std::set<std::string, std::less<>> BAKED_IN_PACKAGES = {
    "vetra-client",
    "vetra-sync-agent",
    "vetra-api",
    "vetra-sync-agent-folderbase",
    "vetra-sync-agent-native",
    "vetra-sync-agent-zt-converters",
    "orvik",
    "vetra-service-manager",
};

// Windows process-creation flag CREATE_NO_WINDOW: start a console program without a console window.
// Named apart from the macro that Windows' headers (pulled in by the logging library) define.
inline constexpr std::uint32_t WINDOWS_NO_CONSOLE_WINDOW = 0x08000000;

// Lower case, "_" -> "-"; nothing else.
std::string normalize_package_name(std::string_view name);

// How deep arrays and objects may nest in a package list (pip's are two levels deep): what reads,
// decodes and quotes a document recurses once per level, so a deeper one is refused unread.
inline constexpr int MAX_PACKAGE_LIST_NESTING = 64;

// Text that is not one JSON document (empty, trailing text, invalid UTF-8, ...) or is nested deeper
// than MAX_PACKAGE_LIST_NESTING.
class UnreadablePackageList : public std::runtime_error {
    using std::runtime_error::runtime_error;
};
// One JSON document, but no array; what() names what came instead.
class NotAPackageList : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The records of what `pip list --format=json` printed, in its order. pip writes each byte it cannot
// decode (from a path, say) as a lone-surrogate escape \udc80..\udcff; such a string holds that byte
// itself. Throws UnreadablePackageList or NotAPackageList.
std::vector<PackageRecord> parse_package_list(std::string_view text);

// `<runner> self pip list --format=json`, read by parse_package_list. Unreadable output is absorbed;
// valid JSON that is not an array throws NotAPackageList naming the runner and what came instead. A
// record that is not an object, or whose "name" is not a string, has no name.
std::vector<PackageRecord> pip_list_via_runner(const std::filesystem::path& runner_binary, int timeout = 60);
bool is_editable_install(const PackageRecord& pkg);
bool is_migratable_extra(const PackageRecord& pkg);

// `<runner> self remove` / `<runner> self pip install <spec>`, output to the user's terminal.
bool runner_self_remove(const std::filesystem::path& runner_binary, int timeout = 60);
bool runner_self_pip_install(const std::filesystem::path& runner_binary, const std::string& spec,
                             int timeout = 600);

// Removes the runner's environment, then the runner binary (on macOS its bundle, when
// owned_bundle_for finds one) and `data_dirs`: in process on POSIX, by a hidden PowerShell helper
// that outlives us on Windows, once the processes in `stopped` (those of the runner that uninstall
// ended) have let go of the runner. Each removal does all it can; returns "<path>: <reason>" for
// each path that resisted (none on Windows, where the helper does the removing later).
std::vector<std::string> teardown_runner(const std::filesystem::path& runner_executable,
                                         const std::vector<std::filesystem::path>& data_dirs,
                                         bool do_self_remove = true, bool remove_binary = true,
                                         const std::vector<platform::process_table::Identity>& stopped = {});
std::vector<std::string> _posix_teardown(const std::filesystem::path& runner,
                                         const std::vector<std::filesystem::path>& data_dirs, bool do_self_remove,
                                         bool remove_binary);
void _windows_deferred_teardown(const std::filesystem::path& runner,
                                const std::vector<std::filesystem::path>& data_dirs, bool do_self_remove,
                                bool remove_binary, const std::vector<platform::process_table::Identity>& stopped);
// The helper's script, built without touching the system: every path inside a single-quoted string.
// It does anything only while it holds the per-user lock at `lock`, so that no command that took
// the lock after we exited has its files removed under it; without the lock it logs why in
// %TEMP%\vetra_service_manager_teardown.log.
std::string _windows_teardown_command(const std::filesystem::path& runner,
                                      const std::vector<std::filesystem::path>& data_dirs, bool do_self_remove,
                                      bool remove_binary, const std::filesystem::path& lock,
                                      const std::vector<platform::process_table::Identity>& stopped = {});
// Text for inside a PowerShell single-quoted string: the apostrophe and U+2018..U+201B doubled.
std::string _powershell_quote(std::string_view text);
// Where the helper starts: TEMP if not empty, else SystemRoot if not empty, else C:\Windows.
std::filesystem::path _teardown_helper_cwd();

// The innermost ancestor (or the path itself) whose last component ends in ".app"; lexical only.
std::optional<std::filesystem::path> bundle_root_for(const std::filesystem::path& runner_executable);
// CFBundleVersion of <bundle>/Contents/Info.plist via `plutil`; absent on any expected failure.
// An Info.plist whose existence cannot be checked throws std::filesystem::filesystem_error.
std::optional<std::string> read_cfbundle_version(const std::filesystem::path& bundle_path);
std::optional<std::string> bundle_version_for_runner(const std::filesystem::path& runner_executable);
// The bundle that holds the runner as we install it, and so is ours to delete: `runner_executable`
// is exactly <bundle>.app/Contents/MacOS/vetra_service_runner and <bundle>.app/Contents/Info.plist
// is a file. Absent otherwise, and when that cannot be checked.
std::optional<std::filesystem::path> owned_bundle_for(const std::filesystem::path& runner_executable);

}  // namespace vetra_service_manager::cli::_runnerops

// Removing the runner: environment first, then the binary or its bundle, then the data directories.
// POSIX lets us unlink what is still running, so it is done here and now; Windows does not, so a
// hidden PowerShell helper does it once this process tree has let go of the runner.
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/cli/_exclusive.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"
#include "vetra_service_manager/cli/_runnerops_internal.hpp"
#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/process.hpp"
#include "vetra_service_manager/platform/user_lock.hpp"

namespace vetra_service_manager::cli::_runnerops {
namespace fs = std::filesystem;
namespace {

using detail::logger;

bool exists_quietly(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Unlinks the runner file; the error, if any, is the caller's to report.
std::error_code remove_runner_file(const fs::path& runner) {
    std::error_code ec;
    // remove() would quietly take an empty directory too; the runner is a file or nothing.
    if (fs::is_directory(fs::symlink_status(runner, ec))) return std::make_error_code(std::errc::is_a_directory);
    fs::remove(runner, ec);
    return ec;
}

const char* capitalised(bool value) { return value ? "True" : "False"; }

}  // namespace

std::vector<std::string> teardown_runner(const fs::path& runner_executable, const std::vector<fs::path>& data_dirs,
                                         bool do_self_remove, bool remove_binary,
                                         const std::vector<platform::process_table::Identity>& stopped) {
    if (platform::system() == platform::System::windows) {
        _windows_deferred_teardown(runner_executable, data_dirs, do_self_remove, remove_binary, stopped);
        return {};
    }
    return _posix_teardown(runner_executable, data_dirs, do_self_remove, remove_binary);
}

std::vector<std::string> _posix_teardown(const fs::path& runner, const std::vector<fs::path>& data_dirs,
                                         bool do_self_remove, bool remove_binary) {
    // A failure is already logged there; whatever is left of the environment is not worth stopping for.
    if (do_self_remove && exists_quietly(runner)) runner_self_remove(runner);
    if (!remove_binary) return {};

    // Only macOS has bundles: elsewhere a "*.app" directory above the runner is somebody else's.
    const auto bundle = platform::system() == platform::System::macos ? owned_bundle_for(runner) : std::nullopt;
    // Whatever of the bundle and the data resists stays, and is told: the rest of the teardown is
    // still worth doing.
    std::vector<std::string> resisted;
    const auto remove = [&](const fs::path& tree) {
        for (const auto& left : platform::files::remove_tree_best_effort(tree)) {
            if (left.error) resisted.push_back(platform::to_text(left.path) + ": " + left.error.message());
        }
    };
    if (bundle) {
        remove(*bundle);
    } else if (exists_quietly(runner)) {
        if (auto ec = remove_runner_file(runner)) resisted.push_back(platform::to_text(runner) + ": " + ec.message());
    }
    for (const auto& dir : data_dirs) {
        if (exists_quietly(dir)) remove(dir);
    }
    return resisted;
}

std::string _powershell_quote(std::string_view text) {
    // PowerShell ends a single-quoted string at the apostrophe and at each typographic single
    // quotation mark (U+2018..U+201B); doubling any of them keeps it as one literal character.
    static constexpr std::string_view typographic[] = {"\u2018", "\u2019", "\u201A", "\u201B"};
    std::string quoted;
    quoted.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\'') {
            quoted += "''";
            ++i;
            continue;
        }
        bool matched = false;
        for (auto mark : typographic) {
            if (text.substr(i, mark.size()) == mark) {
                quoted.append(mark).append(mark);
                i += mark.size();
                matched = true;
                break;
            }
        }
        if (!matched) quoted += text[i++];
    }
    return quoted;
}

namespace {

std::string quoted_path(const fs::path& path) {
    fs::path native = path;
    std::string quoted = "'";
    quoted.append(_powershell_quote(platform::to_text(native.make_preferred()))).append("'");
    return quoted;
}

// Waits, within the same two minutes for all, until each process that uninstall stopped has ended:
// by its ID, while that still names the process created at the recorded instant ($procs holds each
// ID followed by its creation in FILETIME ticks). A process is signalled once it has ended, its
// image unmapped; an open of the image that shares nothing may succeed even while it is mapped.
constexpr std::string_view WAIT_STATEMENT =
    "$end=(Get-Date).AddSeconds(120);for($k=0;$k+1 -lt $procs.Count;$k+=2){try{"
    "$p=Get-Process -Id $procs[$k] -ErrorAction Stop;if([Math]::Abs($p.StartTime.ToFileTimeUtc()-$procs[$k+1]) -lt 10000){"
    "$p.WaitForExit([int][Math]::Max(0,($end-(Get-Date)).TotalMilliseconds))|Out-Null}}catch{}}";
constexpr std::string_view SELF_REMOVE_STATEMENT =
    "if(Test-Path -LiteralPath $exe){try{$p=Start-Process -FilePath $exe -ArgumentList 'self','remove' -WindowStyle Hidden "
    "-PassThru;if(-not $p.WaitForExit(120000)){try{$p.Kill()}catch{}}}catch{}}";
// Windows PowerShell's own recursive removal follows junctions and symbolic links into their
// targets, so the tree is walked here: a link (any reparse point) is removed as itself, never entered.
constexpr std::string_view REMOVE_TREE_FUNCTION =
    "function Remove-Tree($p){$e=Get-Item -LiteralPath $p -Force -ErrorAction Stop;"
    "if($e.Attributes -band [System.IO.FileAttributes]::ReparsePoint){$e.Delete()}"
    "else{if($e.PSIsContainer){Get-ChildItem -LiteralPath $p -Force -ErrorAction Stop|"
    "ForEach-Object{Remove-Tree $_.FullName}}Remove-Item -LiteralPath $p -Force -ErrorAction Stop}}";
// The lock is a byte-range lock on the per-user lock file, the same byte our own commands lock.
// Without it the helper does nothing at all, and says why in a log of its own: a command that took
// the lock after we exited would have its files removed, or its runner run, under it.
const std::string LOCK_STATEMENT =
    "$held=$null;for($i=0;$i -lt 240;$i++){try{$held=[System.IO.File]::Open($lock,'OpenOrCreate','ReadWrite',"
    "'ReadWrite, Delete');$held.Lock(" + std::to_string(platform::user_lock::WINDOWS_LOCKED_BYTE) + ",1);break}"
    "catch{if($held){$held.Close();$held=$null};Start-Sleep -Milliseconds 500}};"
    "if(-not $held){Add-Content -LiteralPath (Join-Path ([System.IO.Path]::GetTempPath()) "
    "'vetra_service_manager_teardown.log') -Value ((Get-Date -Format o)+' removed nothing: the lock '+$lock+"
    "' stayed held by another command for 120 s');exit 1}";
// A directory already gone is done, not retried.
constexpr std::string_view REMOVAL_STATEMENT =
    "foreach($d in $dirs){for($i=0;$i -lt 60;$i++){try{Remove-Tree $d;break}"
    "catch [System.Management.Automation.ItemNotFoundException]{break}"
    "catch{Start-Sleep -Milliseconds 500}}}";

// FILETIME's count: 100 ns ticks since 1601-01-01 UTC, as .NET's ToFileTimeUtc() gives it.
long long filetime_ticks(platform::process_table::Instant instant) {
    constexpr long long ticks_1601_to_1970 = 116444736000000000LL;
    return ticks_1601_to_1970 +
           std::chrono::duration_cast<std::chrono::microseconds>(instant.time_since_epoch()).count() * 10;
}

}  // namespace

std::string _windows_teardown_command(const fs::path& runner, const std::vector<fs::path>& data_dirs,
                                      bool do_self_remove, bool remove_binary, const fs::path& lock,
                                      const std::vector<platform::process_table::Identity>& stopped) {
    std::string command = "$lock=" + quoted_path(lock);
    command.append(";").append(LOCK_STATEMENT).append(";$exe=").append(quoted_path(runner)).append(";$procs=@(");
    for (std::size_t i = 0; i < stopped.size(); ++i) {
        command += fmt::format("{}{},{}", i == 0 ? "" : ",", stopped[i].pid, filetime_ticks(stopped[i].created));
    }
    command.append(");").append(WAIT_STATEMENT);
    if (do_self_remove) command.append(";").append(SELF_REMOVE_STATEMENT);
    if (remove_binary) {
        command += ";$dirs=@(";
        for (std::size_t i = 0; i < data_dirs.size(); ++i) {
            if (i != 0) command += ",";
            command += quoted_path(data_dirs[i]);
        }
        command.append(");").append(REMOVE_TREE_FUNCTION).append(";").append(REMOVAL_STATEMENT);
    }
    return command.append(";$held.Close()");
}

fs::path _teardown_helper_cwd() {
    if (auto temp = platform::env("TEMP"); temp && !temp->empty()) return platform::from_text(*temp);
    // An empty SystemRoot is no directory to start in; fall back as if it were unset.
    if (auto root = platform::env("SystemRoot"); root && !root->empty()) return platform::from_text(*root);
    return platform::from_text("C:\\Windows");
}

void _windows_deferred_teardown(const fs::path& runner, const std::vector<fs::path>& data_dirs,
                                bool do_self_remove, bool remove_binary,
                                const std::vector<platform::process_table::Identity>& stopped) {
    const std::string command = _windows_teardown_command(runner, data_dirs, do_self_remove, remove_binary,
                                                          _exclusive::lock_path(), stopped);
    try {
        const auto powershell = platform::system_tool("WindowsPowerShell/v1.0/powershell.exe");
        platform::process::start_detached(
            {platform::to_text(powershell), "-NoProfile", "-NonInteractive", "-Command", command},
            _teardown_helper_cwd(), WINDOWS_NO_CONSOLE_WINDOW);
    } catch (const std::system_error& error) {
        // Nothing is done in process instead: the running image could not be deleted anyway.
        logger().warn("Failed to start deferred teardown helper: {}", error.what());
        return;
    } catch (const platform::process::StartError& error) {
        logger().warn("Failed to start deferred teardown helper: {}", error.what());
        return;
    }
    logger().info("Scheduled deferred Windows teardown (self_remove={}, remove_binary={})",
                  capitalised(do_self_remove), capitalised(remove_binary));
}

}  // namespace vetra_service_manager::cli::_runnerops

#include "vetra_service_manager/platform/process_table.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <system_error>
#include <utility>
#include <vector>

namespace vetra_service_manager::platform::process_table {
namespace {

struct Handle {
    HANDLE value = nullptr;
    explicit Handle(HANDLE h) : value(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() {
        if (value) CloseHandle(value);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
Instant to_instant(const FILETIME& time) {
    const auto ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr std::uint64_t ticks_1601_to_1970 = 116444736000000000ULL;
    const auto since_epoch = std::chrono::microseconds((ticks - ticks_1601_to_1970) / 10);
    return Instant(std::chrono::duration_cast<Instant::duration>(since_epoch));
}

// When the process behind this handle was created; nullopt once it has ended.
std::optional<Instant> created_at(HANDLE process) {
    DWORD exit_code = 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetExitCodeProcess(process, &exit_code) || exit_code != STILL_ACTIVE) return std::nullopt;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
    return to_instant(created);
}

// Every process started by `root` (created at `created`), and by those, as far as the system still
// records parents. A parent ID names the parent only if the child is younger than it.
std::vector<DWORD> descendants(DWORD root, Instant created) {
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.value) return {};
    std::vector<std::pair<DWORD, DWORD>> parents;  // (process, parent)
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.value, &entry); more; more = Process32NextW(snapshot.value, &entry)) {
        parents.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    }
    std::vector<std::pair<DWORD, Instant>> found{{root, created}};
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (const auto& [pid, parent] : parents) {
            if (parent != found[i].first || pid == found[i].first) continue;
            Handle child(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
            const auto child_created = child.value ? created_at(child.value) : std::nullopt;
            if (child_created && *child_created >= found[i].second) found.emplace_back(pid, *child_created);
        }
    }
    std::vector<DWORD> result;
    for (std::size_t i = 1; i < found.size(); ++i) result.push_back(found[i].first);
    return result;
}

class SystemTable : public ProcessTable {
public:
    std::optional<Instant> creation_time(std::uint32_t pid) const override {
        // A process we may not query is not one of ours.
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process.value) return std::nullopt;
        return created_at(process.value);
    }

    bool terminate_tree(std::uint32_t pid, Instant created) override {
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (!process.value) {
            if (GetLastError() == ERROR_INVALID_PARAMETER) return false;  // no such process
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot open process " + std::to_string(pid));
        }
        // Checked on the handle itself, so the ID cannot be reused between check and kill.
        const auto actual = created_at(process.value);
        if (!actual || !same_instant(*actual, created)) return false;
        // Listed before the kill: afterwards nothing ties the children to their parent's creation.
        const auto children = descendants(pid, *actual);
        if (!TerminateProcess(process.value, 1) && created_at(process.value)) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot terminate process " + std::to_string(pid));
        }
        for (DWORD child : children) {
            Handle handle(OpenProcess(PROCESS_TERMINATE, FALSE, child));
            if (handle.value) TerminateProcess(handle.value, 1);
        }
        WaitForSingleObject(process.value, 5000);
        return true;
    }
};

}  // namespace

std::unique_ptr<ProcessTable> system_table() { return std::make_unique<SystemTable>(); }

}  // namespace vetra_service_manager::platform::process_table

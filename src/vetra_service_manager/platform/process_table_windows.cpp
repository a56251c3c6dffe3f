#include "vetra_service_manager/platform/process_table.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <optional>
#include <string>
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
    Handle(Handle&& other) noexcept : value(std::exchange(other.value, nullptr)) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// What a handle must allow for a process to be checked and then ended through it.
constexpr DWORD ACCESS = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE;

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
Instant to_instant(const FILETIME& time) {
    const auto ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr std::uint64_t ticks_1601_to_1970 = 116444736000000000ULL;
    const auto since_epoch = std::chrono::microseconds((ticks - ticks_1601_to_1970) / 10);
    return Instant(std::chrono::duration_cast<Instant::duration>(since_epoch));
}

// When the process behind this handle (opened with SYNCHRONIZE) was created; nullopt once it has
// ended. Its exit code cannot tell: a process may exit with 259, STILL_ACTIVE's value.
std::optional<Instant> created_at(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return std::nullopt;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
    return to_instant(created);
}

// A process of the tree, held open from the moment it was verified until it is ended: its ID
// cannot pass to another process in between.
struct Member {
    DWORD pid;
    Instant created;
    std::wstring image;  // the program's file name
    Handle handle;
};

struct Entry {
    DWORD pid;
    DWORD parent;
    std::wstring image;
};

std::vector<Entry> snapshot() {
    std::vector<Entry> entries;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.value) return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.value, &entry); more; more = Process32NextW(snapshot.value, &entry)) {
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    return entries;
}

bool same_image(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Everything `tree` (its root first) started, and what those started, each verified and held
// open. A parent ID names the parent only if the child is younger than it. Windows never
// re-parents an orphan: a process whose parent has ended, younger than the root and running one of
// the tree's programs (a service's workers often run its own program), counts as started by it.
void add_descendants(std::vector<Member>& tree) {
    const auto entries = snapshot();
    std::vector<std::pair<DWORD, Instant>> alive;  // every process we can see, with its creation
    for (const auto& entry : entries) {
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.pid));
        if (const auto created = process.value ? created_at(process.value) : std::nullopt) {
            alive.emplace_back(entry.pid, *created);
        }
    }
    const auto creation_of = [&](DWORD pid) -> std::optional<Instant> {
        for (const auto& [id, created] : alive)
            if (id == pid) return created;
        return std::nullopt;
    };
    const auto in_tree = [&](DWORD pid) {
        for (const auto& member : tree)
            if (member.pid == pid) return true;
        return false;
    };
    const auto adopt = [&](const Entry& entry, Instant not_before) {
        Handle process(OpenProcess(ACCESS, FALSE, entry.pid));
        const auto created = process.value ? created_at(process.value) : std::nullopt;
        if (!created || *created < not_before) return false;
        tree.push_back({entry.pid, *created, entry.image, std::move(process)});
        return true;
    };
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& entry : entries) {
            if (entry.pid == entry.parent || in_tree(entry.pid)) continue;
            for (std::size_t i = 0; i < tree.size(); ++i) {
                if (entry.parent == tree[i].pid && adopt(entry, tree[i].created)) {
                    grew = true;
                    break;
                }
            }
        }
        for (const auto& entry : entries) {
            if (in_tree(entry.pid)) continue;
            // Its parent has ended, or its parent's ID now names a younger process. A parent that
            // is listed but that we may not open (another account's) still runs.
            const auto own = creation_of(entry.pid);
            const auto parent = creation_of(entry.parent);
            const bool parent_listed = std::any_of(entries.begin(), entries.end(),
                                                   [&](const Entry& other) { return other.pid == entry.parent; });
            const bool orphan = own && (parent ? *parent > *own : !parent_listed);
            if (!orphan) continue;
            for (std::size_t i = 0; i < tree.size(); ++i) {
                if (same_image(entry.image, tree[i].image) && adopt(entry, tree.front().created)) {
                    grew = true;
                    break;
                }
            }
        }
    }
}

std::wstring image_of(DWORD pid) {
    for (const auto& entry : snapshot())
        if (entry.pid == pid) return entry.image;
    return {};
}

class SystemTable : public ProcessTable {
public:
    std::optional<Instant> creation_time(std::uint32_t pid) const override {
        // A process we may not query is not one of ours.
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
        if (!process.value) return std::nullopt;
        return created_at(process.value);
    }

    bool terminate_tree(std::uint32_t pid, Instant created) override {
        Handle process(OpenProcess(ACCESS, FALSE, pid));
        if (!process.value) {
            if (GetLastError() == ERROR_INVALID_PARAMETER) return false;  // no such process
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot open process " + std::to_string(pid));
        }
        // Checked on the handle itself, so the ID cannot be reused between check and kill.
        const auto actual = created_at(process.value);
        if (!actual || !same_instant(*actual, created)) return false;
        std::vector<Member> tree;
        tree.push_back({pid, *actual, image_of(pid), std::move(process)});
        // Listed before the kill: afterwards nothing ties the children to their parent's creation.
        add_descendants(tree);
        if (!TerminateProcess(tree.front().handle.value, 1) && created_at(tree.front().handle.value)) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot terminate process " + std::to_string(pid));
        }
        for (std::size_t i = 1; i < tree.size(); ++i) TerminateProcess(tree[i].handle.value, 1);
        WaitForSingleObject(tree.front().handle.value, 5000);
        return true;
    }
};

}  // namespace

std::unique_ptr<ProcessTable> system_table() { return std::make_unique<SystemTable>(); }

}  // namespace vetra_service_manager::platform::process_table

#include "vetra_service_manager/platform/process_table.hpp"
#include "vetra_service_manager/platform/process_tree.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

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
    Handle handle;
};

// Every process we can see, with its parent and when it was created; one we may not query (another
// account's) has no creation time and so neither is nor parents anything of ours.
std::vector<process_tree::Entry> snapshot() {
    std::vector<process_tree::Entry> entries;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.value) return entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.value, &entry); more; more = Process32NextW(snapshot.value, &entry)) {
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (const auto created = process.value ? created_at(process.value) : std::nullopt) {
            entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, *created});
        }
    }
    return entries;
}

// Adds what the root (tree's only member) started, at any depth, each verified again and held open
// from then on: an ID that passed to another process since the snapshot is left alone.
void add_descendants(std::vector<Member>& tree) {
    const auto entries = snapshot();
    for (const auto index : process_tree::descendants(entries, tree.front().pid, tree.front().created)) {
        const auto& entry = entries[index];
        Handle process(OpenProcess(ACCESS, FALSE, entry.pid));
        const auto created = process.value ? created_at(process.value) : std::nullopt;
        if (created && same_instant(*created, entry.created)) tree.push_back({entry.pid, *created, std::move(process)});
    }
}

// A process's command line, as NtQueryInformationProcess gives it (ProcessCommandLineInformation,
// Windows 8.1 and later); empty when it cannot tell.
std::wstring command_line_of(HANDLE process) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG PROCESS_COMMAND_LINE_INFORMATION = 60;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                   GetProcAddress(ntdll, "NtQueryInformationProcess")))
                             : nullptr;
    if (!query) return {};
    ULONG size = 0;
    query(process, PROCESS_COMMAND_LINE_INFORMATION, nullptr, 0, &size);
    if (size < sizeof(UNICODE_STRING)) return {};
    std::vector<unsigned char> buffer(size);
    if (query(process, PROCESS_COMMAND_LINE_INFORMATION, buffer.data(), size, &size) < 0) return {};
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

std::wstring upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

class SystemTable : public ProcessTable {
public:
    std::optional<Instant> creation_time(std::uint32_t pid) const override {
        // A process we may not query is not one of ours.
        Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
        if (!process.value) return std::nullopt;
        return created_at(process.value);
    }

    std::vector<Identity> terminate_tree(std::uint32_t pid, Instant created) override {
        Handle process(OpenProcess(ACCESS, FALSE, pid));
        if (!process.value) {
            if (GetLastError() == ERROR_INVALID_PARAMETER) return {};  // no such process
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot open process " + std::to_string(pid));
        }
        // Checked on the handle itself, so the ID cannot be reused between check and kill.
        const auto actual = created_at(process.value);
        if (!actual || !same_instant(*actual, created)) return {};
        std::vector<Member> tree;
        tree.push_back({pid, *actual, std::move(process)});
        // Listed before the kill: afterwards nothing ties the children to their parent's creation.
        add_descendants(tree);
        if (!TerminateProcess(tree.front().handle.value, 1) && created_at(tree.front().handle.value)) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot terminate process " + std::to_string(pid));
        }
        for (std::size_t i = 1; i < tree.size(); ++i) TerminateProcess(tree[i].handle.value, 1);
        WaitForSingleObject(tree.front().handle.value, 5000);
        std::vector<Identity> ended;
        for (const auto& member : tree) ended.push_back({member.pid, member.created});
        return ended;
    }

    std::vector<Identity> script_hosts(const std::filesystem::path& script) const override {
        const std::wstring wanted = upper(std::filesystem::path(script).make_preferred().wstring());
        std::vector<Identity> hosts;
        Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot.value) return hosts;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.value, &entry); more; more = Process32NextW(snapshot.value, &entry)) {
            if (CompareStringOrdinal(entry.szExeFile, -1, L"wscript.exe", -1, TRUE) != CSTR_EQUAL) continue;
            Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
            const auto created = process.value ? created_at(process.value) : std::nullopt;
            if (created && upper(command_line_of(process.value)).find(wanted) != std::wstring::npos) {
                hosts.push_back({entry.th32ProcessID, *created});
            }
        }
        return hosts;
    }
};

}  // namespace

std::unique_ptr<ProcessTable> system_table() { return std::make_unique<SystemTable>(); }

}  // namespace vetra_service_manager::platform::process_table

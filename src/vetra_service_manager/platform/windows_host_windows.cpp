#include "vetra_service_manager/platform/windows_host.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wtsapi32.h>

#include <optional>
#include <system_error>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::platform::windows_host {
namespace {

constexpr const wchar_t* SETTINGS = L"Software\\Microsoft\\Windows Script Host\\Settings";
// The VBScript engine's class, as the script host looks it up.
constexpr const wchar_t* VBSCRIPT_SERVER = L"CLSID\\{B54F3741-5B07-11CF-A4B0-00AA004A55E8}\\InprocServer32";

// A setting written as a string ("0") or as a number; nullopt when there is none.
std::optional<bool> flag(HKEY root, const wchar_t* name) {
    wchar_t text[16] = {};
    DWORD type = 0, size = sizeof text;
    if (RegGetValueW(root, SETTINGS, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, text, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type == REG_DWORD) return *reinterpret_cast<const DWORD*>(text) != 0;
    return _wtoi(text) != 0;
}

std::wstring session_text(DWORD session, WTS_INFO_CLASS what) {
    wchar_t* text = nullptr;
    DWORD size = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, what, &text, &size) || !text) return {};
    std::wstring copy(text);
    WTSFreeMemory(text);
    return copy;
}

class SystemHost : public Host {
public:
    ScriptHost script_host() const override {
        const auto machine = flag(HKEY_LOCAL_MACHINE, L"Enabled");
        const bool machine_decides = flag(HKEY_LOCAL_MACHINE, L"IgnoreUserSettings").value_or(false);
        const auto user = machine_decides ? std::nullopt : flag(HKEY_CURRENT_USER, L"Enabled");
        if (user) return *user ? ScriptHost::ENABLED : ScriptHost::DISABLED_FOR_USER;
        return machine.value_or(true) ? ScriptHost::ENABLED : ScriptHost::DISABLED_FOR_MACHINE;
    }

    bool vbscript_available() const override {
        // Windows registers it as "%SystemRoot%\System32\vbscript.dll"; RegGetValueW expands only
        // when asked for REG_SZ alone, so it is asked for either, unexpanded, and expanded here.
        wchar_t registered[MAX_PATH] = {}, library[MAX_PATH] = {};
        DWORD size = sizeof registered;
        if (RegGetValueW(HKEY_CLASSES_ROOT, VBSCRIPT_SERVER, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                         nullptr, registered, &size) != ERROR_SUCCESS ||
            !ExpandEnvironmentStringsW(registered, library, MAX_PATH)) {
            return false;
        }
        std::filesystem::path path(library);
        if (!path.has_parent_path()) {
            wchar_t system[MAX_PATH] = {};
            if (!GetSystemDirectoryW(system, MAX_PATH)) return false;
            path = std::filesystem::path(system) / path;
        }
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    bool logged_on_interactively(const std::string& account) const override {
        WTS_SESSION_INFOW* sessions = nullptr;
        DWORD count = 0;
        if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                    "Cannot list the sessions of this machine");
        }
        const std::wstring wanted = from_text(account).wstring();
        bool found = false;
        for (DWORD i = 0; i < count && !found; ++i) {
            const auto& session = sessions[i];
            // Session 0 holds services (and an SSH logon): no task with a logon trigger runs there.
            if (session.SessionId == 0 || (session.State != WTSActive && session.State != WTSDisconnected)) continue;
            const std::wstring user = session_text(session.SessionId, WTSUserName);
            if (user.empty()) continue;
            const std::wstring name = session_text(session.SessionId, WTSDomainName) + L"\\" + user;
            found = CompareStringOrdinal(name.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
        }
        WTSFreeMemory(sessions);
        return found;
    }
};

}  // namespace

std::unique_ptr<Host> system_host() { return std::make_unique<SystemHost>(); }

}  // namespace vetra_service_manager::platform::windows_host

#pragma once
// What a Windows machine says about whether the supervisor can run at all: the script host it runs
// under, the VBScript engine, and a logon of the user for its task's trigger (Windows only).
#include <memory>
#include <string>

namespace vetra_service_manager::platform::windows_host {

// Where "Enabled" under Software\Microsoft\Windows Script Host\Settings turns the host off.
enum class ScriptHost { ENABLED, DISABLED_FOR_USER, DISABLED_FOR_MACHINE };

class Host {
public:
    virtual ~Host() = default;
    // The user's setting, unless the machine's says to ignore it (IgnoreUserSettings) or the user
    // has none.
    virtual ScriptHost script_host() const = 0;
    // The VBScript engine is registered and its library is there (it is an optional feature).
    virtual bool vbscript_available() const = 0;
    // `account` ("DOMAIN\user") has a session on the console or over Remote Desktop, connected or
    // not. Throws std::system_error when the system cannot tell.
    virtual bool logged_on_interactively(const std::string& account) const = 0;
};

std::unique_ptr<Host> system_host();

}  // namespace vetra_service_manager::platform::windows_host

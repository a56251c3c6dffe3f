#pragma once
// Who the current Windows user is, as Task Scheduler names a task's user (Windows only).
#include <string>

namespace vetra_service_manager::platform::account {

struct Account {
    std::string name;  // "DOMAIN\user" (the SAM-compatible form)
    std::string sid;   // "S-1-5-21-..."
};

// The user of this process's token. Throws std::system_error when the system cannot tell.
Account current();

}  // namespace vetra_service_manager::platform::account

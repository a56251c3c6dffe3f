#pragma once
// What the login manager says of this user: whether their user manager, and with it their
// services, outlives their last session.
#include <optional>
#include <string>

namespace vetra_service_manager::backends::systemd::linux_login {

// This process's user name (empty when the system has none for its uid).
std::string user_name();

// Whether lingering is on for this user: the login manager's answer over the system bus
// (DBUS_SYSTEM_BUS_ADDRESS, else its usual socket); only where no system bus answers, whether its
// file in /var/lib/systemd/linger is there. Nothing when neither can tell.
std::optional<bool> lingering();

}  // namespace vetra_service_manager::backends::systemd::linux_login

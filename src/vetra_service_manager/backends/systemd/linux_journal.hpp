#pragma once
// The last lines a unit wrote, as the user journal keeps them.
#include <optional>
#include <string>

namespace vetra_service_manager::backends::systemd::linux_journal {

// journalctl's text of the unit's last `lines` messages, one a line; nothing where journalctl is
// missing, fails or takes more than a few seconds: the journal only adds to what is already known.
std::optional<std::string> tail(const std::string& unit, int lines);

}  // namespace vetra_service_manager::backends::systemd::linux_journal

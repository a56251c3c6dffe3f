#pragma once
// What the systemd backends of one command share: the connection to the user manager, opened on
// first need, and, for a command that only reads, one survey that asks for every unit of the
// command at once. Made by the factory for each command and gone with its last backend.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/backends/systemd/linux_bus.hpp"

namespace vetra_service_manager::backends::systemd::linux_context {

// "com.norvale.<service name>.service"
std::string unit_name(const std::string& service_name);

class LinuxContext {
public:
    // `service_names`: every service of the command.
    explicit LinuxContext(std::vector<std::string> service_names, base::Readings readings = base::Readings::FRESH);

    // The command's connection: opened on first use, and again only if the manager dropped it. A
    // failure to connect is remembered (the same linux_bus::ConnectError again): the command tries once.
    linux_bus::UserManager& manager();

    struct UnitState {
        linux_bus::Properties properties;       // the wanted ones the manager reported
        std::vector<std::string> unit_search_path;  // the manager's UnitPath
    };
    // The unit's properties among `wanted` (the same set on every call), asked afresh. With shared
    // readings, the first call asks for every unit of the command in one round trip and each unit
    // then takes its answer once, as long as nothing changed on the connection since.
    UnitState state_of(const std::string& unit, const std::set<std::string>& wanted);

private:
    std::vector<std::string> units_;
    base::Readings readings_;
    std::optional<linux_bus::UserManager> manager_;
    std::optional<std::string> failure_;
    // What the last survey found that no reading has taken yet, and the generation it was asked under.
    linux_bus::UserManager::Survey survey_;
    std::uint64_t survey_generation_ = 0;
};

}  // namespace vetra_service_manager::backends::systemd::linux_context

#include <string>
#include <vector>

#include "vetra_service_manager/cli/dispatcher.hpp"
#include "vetra_service_manager/platform/platform.hpp"
#include "vetra_service_manager/platform/startup.hpp"

int main(int argc, char** argv) {
    namespace platform = vetra_service_manager::platform;
    platform::startup::prepare_standard_streams();  // before anything opens a file
    platform::use_utf8_console();
    std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (auto& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return vetra_service_manager::cli::dispatcher::main(static_cast<int>(arguments.size()), pointers.data());
}

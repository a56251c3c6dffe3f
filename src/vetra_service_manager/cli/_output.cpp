#include "vetra_service_manager/cli/_output.hpp"

#include <iostream>

namespace vetra_service_manager::cli::_output {

void say(const std::string& line) { std::cout << line << std::endl; }

}  // namespace vetra_service_manager::cli::_output

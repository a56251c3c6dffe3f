#pragma once
// What a command tells the user as it goes.
#include <string>

namespace vetra_service_manager::cli::_output {

// `line` on standard output, flushed at once: the backends' log lines and the runners a command
// starts write to the same terminal in between, and must come after what was said before them.
void say(const std::string& line);

}  // namespace vetra_service_manager::cli::_output

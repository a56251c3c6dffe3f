#pragma once
// Access to the optional client library, which knows where the services' shared user data lives.
// It is looked for beside our own executable (where an archive has it), then where `cmake --install`
// puts it relative to the executable (../lib by default), and loaded only when needed.
#include <filesystem>
#include <functional>
#include <vector>

namespace vetra_service_manager::cli::_client_library {

// Where the library is looked for, in that order.
std::vector<std::filesystem::path> library_paths();
// The library's shared_data_dir(), or an empty function when no library can be loaded from there or
// the one found lacks it. Calling the function throws std::runtime_error when the library reports a
// failure.
std::function<std::filesystem::path()> load_shared_data_dir();

}  // namespace vetra_service_manager::cli::_client_library

#pragma once
// Access to the optional client library, which knows where the services' shared user data lives.
// It is looked for beside our own executable and loaded only when needed.
#include <filesystem>
#include <functional>

namespace vetra_service_manager::cli::_client_library {

// Where the library is looked for.
std::filesystem::path library_path();
// The library's shared_data_dir(), or an empty function when the library cannot be loaded or lacks
// it. Calling the function throws std::runtime_error when the library reports a failure.
std::function<std::filesystem::path()> load_shared_data_dir();

}  // namespace vetra_service_manager::cli::_client_library

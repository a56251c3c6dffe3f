#include "vetra_service_manager/cli/_client_library.hpp"

#include <stdexcept>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::cli::_client_library {

std::filesystem::path library_path() {
    const auto forced = platform::test_override("VSM_TEST_CLIENT_LIBRARY");
    return forced ? platform::from_text(*forced)
                  : platform::executable_path().parent_path() / platform::shared_library_file_name("vetra_client");
}

std::function<std::filesystem::path()> load_shared_data_dir() {
    const auto library = library_path();
    using Entry = const char* (*)(const char**);
    auto* entry = reinterpret_cast<Entry>(platform::load_library_symbol(library, "vetra_client_shared_data_dir"));
    if (!entry) return {};
    return [entry] {
        const char* error = nullptr;
        const char* dir = entry(&error);
        if (!dir) throw std::runtime_error(std::string("Cannot resolve the shared data dir: ") +
                                           (error ? error : "unknown error"));
        return platform::from_text(dir);
    };
}

}  // namespace vetra_service_manager::cli::_client_library

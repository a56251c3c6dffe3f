#include "vetra_service_manager/cli/_client_library.hpp"

#include <stdexcept>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_service_manager::cli::_client_library {

std::vector<std::filesystem::path> library_paths() {
    if (const auto forced = platform::test_override("VSM_TEST_CLIENT_LIBRARY")) return {platform::from_text(*forced)};
    const auto name = platform::shared_library_file_name("vetra_client");
    const auto here = platform::executable_path().parent_path();
    // VSM_LIBDIR_FROM_BINDIR: the install rules' library directory as seen from their program directory.
    return {here / name, (here / VSM_LIBDIR_FROM_BINDIR / name).lexically_normal()};
}

std::function<std::filesystem::path()> load_shared_data_dir() {
    using Entry = const char* (*)(const char**);
    Entry entry = nullptr;
    for (const auto& library : library_paths()) {
        entry = reinterpret_cast<Entry>(platform::load_library_symbol(library, "vetra_client_shared_data_dir"));
        if (entry) break;
    }
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

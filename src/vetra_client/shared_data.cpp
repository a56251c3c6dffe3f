#include "vetra_client/shared_data.hpp"

#include <stdexcept>
#include <string>

#include "vetra_service_manager/platform/platform.hpp"

namespace vetra_client::settings::shared_data {
namespace platform = vetra_service_manager::platform;

std::filesystem::path shared_data_dir() {
    const platform::System system = platform::system();
    if (system == platform::System::macos) {
        return platform::home_dir() / "Library" / "Group Containers" / "group.com.norvale.vetra";
    }
    // Only an absolute setting counts, as for the manager: a relative one would name a directory
    // below wherever the caller happens to run, and `uninstall --remove-data` would delete it.
    if (system == platform::System::windows) {
        auto local = platform::directory_env("LOCALAPPDATA");
        if (!local) throw std::runtime_error("Environment variable LOCALAPPDATA is not set to an absolute path");
        return *local / "norvale" / "vetra";
    }
    const std::filesystem::path data =
        platform::directory_env("XDG_DATA_HOME").value_or(platform::home_dir() / ".local" / "share");
    return data / "norvale" / "vetra";
}

}  // namespace vetra_client::settings::shared_data

extern "C" const char* vetra_client_shared_data_dir(const char** error) {
    thread_local std::string result;
    try {
        result = vetra_service_manager::platform::to_text(vetra_client::settings::shared_data::shared_data_dir());
        return result.c_str();
    } catch (const std::exception& failure) {
        result = failure.what();
    } catch (...) {
        result = "unknown error";
    }
    if (error) *error = result.c_str();
    return nullptr;
}

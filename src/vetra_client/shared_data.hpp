#pragma once
// The client library's shared user data: the directory that every Vetra service and client of this
// user shares (the App Group container on macOS).
#include <filesystem>

#include "vetra_client/export.h"

namespace vetra_client::settings::shared_data {

// macOS: ~/Library/Group Containers/group.com.norvale.vetra
// Linux: $XDG_DATA_HOME/norvale/vetra (~/.local/share/norvale/vetra when unset, empty or relative)
// Windows: %LOCALAPPDATA%\norvale\vetra (an error when unset, empty or relative)
std::filesystem::path shared_data_dir();

}  // namespace vetra_client::settings::shared_data

// The library's one exported entry point, for programs that load it at run time. Returns the
// directory as UTF-8 text, valid until the next call on the same thread; on failure returns null
// and points *error at the reason.
extern "C" VETRA_CLIENT_EXPORT const char* vetra_client_shared_data_dir(const char** error);

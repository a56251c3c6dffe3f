#include "vetra_service_manager/platform/startup.hpp"

namespace vetra_service_manager::platform::startup {

// Windows has no SIGPIPE, and a missing standard handle makes writes fail rather than land in a
// file opened later.
void prepare_standard_streams() {}

}  // namespace vetra_service_manager::platform::startup

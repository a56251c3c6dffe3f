#pragma once
// Text as the bytes it is: the white space tools end their messages with.
#include <string_view>

namespace vetra_service_manager::platform::text {

// `text` without the white space at its end (spaces, tabs, line breaks): a tool's message, which
// ends with a line break, as one line of ours.
std::string_view without_trailing_space(std::string_view text);

}  // namespace vetra_service_manager::platform::text

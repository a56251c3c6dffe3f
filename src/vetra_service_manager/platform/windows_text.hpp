#pragma once
// UTF-8 (our text) <-> UTF-16 (the Windows API's), the one converter pair of the Windows build.
// Invalid input (a stray byte, a lone surrogate) raises std::range_error instead of becoming
// U+FFFD: a path or an argument changed on the way would name something else. Windows only.
#include <string>
#include <string_view>

namespace vetra_service_manager::platform::windows_text {

std::wstring utf16(std::string_view text);
std::string utf8(std::wstring_view text);

}  // namespace vetra_service_manager::platform::windows_text

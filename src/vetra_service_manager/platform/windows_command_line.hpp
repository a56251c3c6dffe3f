#pragma once
// A Windows command line from an argument vector. Windows hands a child one string; the child's C
// runtime (or CommandLineToArgvW) splits it again, and these rules make every argument arrive
// unchanged. Plain text in, plain text out (UTF-8 stays UTF-8), so that it tests anywhere.
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::platform::windows_command_line {

// One argument after the program name: unchanged when it needs no quoting, otherwise in double
// quotes with each '"' and the backslashes before a '"' (or before the closing quote) escaped.
std::string quote_argument(std::string_view argument);

// The program name is split by a simpler rule (no escapes at all): quoted when it holds blanks.
std::string quote_program(std::string_view program);

// False for a program name that no command line can carry (it contains '"').
bool valid_program(std::string_view program);

// quote_program(argv[0]) and quote_argument of the rest, joined by single spaces.
std::string build(const std::vector<std::string>& argv);

}  // namespace vetra_service_manager::platform::windows_command_line

#pragma once
// JSON text in the layout our status document has always had: two-space indentation, ": " and ",",
// everything outside printable ASCII written as \u escapes. Strings that are not valid UTF-8 (a path
// is any byte string on POSIX) do not fail: each undecodable byte becomes \udcXX, as a Python
// program printing the same path would write it.
#include <string>

#include <nlohmann/json.hpp>

namespace vetra_service_manager::cli::_json {

std::string dumps(const nlohmann::ordered_json& value, int indent = 2);

}  // namespace vetra_service_manager::cli::_json

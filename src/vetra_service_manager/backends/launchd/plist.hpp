#pragma once
// A thin owner over the libplist C API: exactly what a LaunchAgent property list needs, a string-keyed
// dictionary of strings, booleans, integers and string arrays, written as XML and read back from XML
// or binary.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vetra_service_manager::backends::launchd::plist {

// Bytes that are no property list, a root that is no dictionary, a value of the wrong type, or a
// string that XML cannot carry.
class PlistError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws PlistError, naming `key` and the value, when `value` is no string a property list can hold
// (see Dict::set_string).
void check_string(const std::string& key, const std::string& value);

class Dict {
public:
    Dict();
    // Reads XML or binary, recognised by content. Throws PlistError.
    static Dict parse(std::string_view bytes);

    // Keys are written in the order they are first set. Strings must be valid UTF-8 and may hold any
    // text but what XML 1.0 cannot represent (the control characters below U+0020 except tab, line
    // feed and carriage return; U+FFFE and U+FFFF); anything else throws PlistError naming the key
    // and the value.
    void set_string(const std::string& key, const std::string& value);
    void set_bool(const std::string& key, bool value);
    void set_integer(const std::string& key, std::uint64_t value);
    void set_string_array(const std::string& key, const std::vector<std::string>& values);

    // nullopt when the key is absent; PlistError when its value is not a string.
    std::optional<std::string> get_string(const std::string& key) const;
    // nullopt when the key is absent; PlistError when its value is not an integer.
    std::optional<std::uint64_t> get_integer(const std::string& key) const;

    // Apple's XML property-list format.
    std::string to_xml() const;
    // Writes to_xml() to a sibling temporary file (".<name>.tmp") and renames it over `path`, so a
    // failed write never leaves a partial property list behind. Throws std::system_error or
    // std::filesystem::filesystem_error.
    void write_xml_file(const std::filesystem::path& path) const;

private:
    struct Free {
        void operator()(void* node) const noexcept;
    };
    explicit Dict(void* root) : root_(root) {}
    std::unique_ptr<void, Free> root_;  // a plist_t of type dictionary
};

}  // namespace vetra_service_manager::backends::launchd::plist

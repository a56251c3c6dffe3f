#include "vetra_service_manager/backends/launchd/plist.hpp"
#include "vetra_service_manager/backends/launchd/plist_depth.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/platform/files.hpp"
#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::backends::launchd::plist {
namespace fs = std::filesystem;
namespace {

// Buffers that libplist allocates with malloc. (Newer releases also offer plist_mem_free, which is
// the same free() on every platform this backend builds for.)
struct MallocFree {
    void operator()(char* text) const noexcept { std::free(text); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

// The value as it can be shown in an error line: bytes that are no UTF-8 as \xNN.
std::string printable(std::string_view value) {
    std::string shown;
    for (std::size_t i = 0; i < value.size();) {
        if (const auto decoded = platform::text::next_code_point(value, i)) {
            shown.append(value.substr(i, decoded->length));
            i += decoded->length;
        } else {
            shown += fmt::format("\\x{:02X}", static_cast<unsigned char>(value[i++]));
        }
    }
    return shown;
}

}  // namespace

// launchd reads a property list as UTF-8 XML and rejects the whole file for one string it cannot
// read; it is better refused here, naming the value, than reported later as a failed bootstrap.
void check_string(const std::string& key, const std::string& value) {
    for (std::size_t i = 0; i < value.size();) {
        const auto decoded = platform::text::next_code_point(value, i);
        if (!decoded) throw PlistError("The value of " + key + " is not valid UTF-8: " + printable(value));
        const char32_t c = decoded->value;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            throw PlistError("The value of " + key + " contains a control character (code " + std::to_string(c) +
                             ") that an XML property list cannot hold");
        }
        // U+FFFE and U+FFFF are not XML characters either.
        if (c == 0xFFFE || c == 0xFFFF) {
            throw PlistError(fmt::format("The value of {} contains U+{:04X}, which an XML property list cannot hold: {}",
                                         key, static_cast<std::uint32_t>(c), value));
        }
        i += decoded->length;
    }
}

namespace {

// An XML reader turns a raw carriage return into a line feed; written as a character reference it
// survives. The writer emits raw carriage returns only inside string values, so the replacement
// touches nothing else.
std::string escape_carriage_returns(std::string_view xml) {
    std::string result;
    result.reserve(xml.size());
    for (char c : xml) {
        if (c == '\r') {
            result += "&#13;";
        } else {
            result.push_back(c);
        }
    }
    return result;
}


}  // namespace

void Dict::Free::operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }

Dict::Dict() : root_(plist_new_dict()) {}

Dict Dict::parse(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw PlistError("The property list is too large");
    const auto length = static_cast<uint32_t>(bytes.size());
    // libplist's readers recurse once per level: one nested too deep never reaches them.
    if (nested_too_deep(bytes)) throw PlistError("The file is not a valid property list");
    plist_t root = nullptr;
    // The return type of these calls differs between libplist releases; the out-parameter tells.
    if (plist_is_binary(bytes.data(), length)) {
        plist_from_bin(bytes.data(), length, &root);
    } else {
        plist_from_xml(bytes.data(), length, &root);
    }
    if (!root) throw PlistError("The file is not a valid property list");
    Dict result(root);
    if (plist_get_node_type(root) != PLIST_DICT) throw PlistError("The property list is not a dictionary");
    return result;
}

void Dict::set_string(const std::string& key, const std::string& value) {
    check_string(key, value);
    plist_dict_set_item(root_.get(), key.c_str(), plist_new_string(value.c_str()));
}

void Dict::set_bool(const std::string& key, bool value) {
    plist_dict_set_item(root_.get(), key.c_str(), plist_new_bool(value ? 1 : 0));
}

void Dict::set_integer(const std::string& key, std::uint64_t value) {
    plist_dict_set_item(root_.get(), key.c_str(), plist_new_uint(value));
}

void Dict::set_string_array(const std::string& key, const std::vector<std::string>& values) {
    for (const auto& value : values) check_string(key, value);
    plist_t array = plist_new_array();
    for (const auto& value : values) plist_array_append_item(array, plist_new_string(value.c_str()));
    plist_dict_set_item(root_.get(), key.c_str(), array);
}

std::optional<std::string> Dict::get_string(const std::string& key) const {
    plist_t node = plist_dict_get_item(root_.get(), key.c_str());
    if (!node) return std::nullopt;
    if (plist_get_node_type(node) != PLIST_STRING) throw PlistError("The value of " + key + " is not a string");
    // By pointer and length: the reader takes a raw NUL into a string, and plist_get_string_val
    // aborts the process on such a string.
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, length) : std::string();
}

std::optional<std::uint64_t> Dict::get_integer(const std::string& key) const {
    plist_t node = plist_dict_get_item(root_.get(), key.c_str());
    if (!node) return std::nullopt;
    if (plist_get_node_type(node) != PLIST_UINT) throw PlistError("The value of " + key + " is not an integer");
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

std::string Dict::to_xml() const {
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(root_.get(), &raw, &length);
    MallocText owned(raw);
    if (!owned) throw PlistError("The property list could not be converted to XML");
    return escape_carriage_returns(std::string_view(owned.get(), length));
}

void Dict::write_xml_file(const fs::path& path) const {
    const std::string xml = to_xml();
    platform::files::write_file_atomically(path, xml, fs::perms(0644));
}

}  // namespace vetra_service_manager::backends::launchd::plist

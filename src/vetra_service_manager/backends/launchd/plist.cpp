#include "vetra_service_manager/backends/launchd/plist.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "vetra_service_manager/platform/files.hpp"

namespace vetra_service_manager::backends::launchd::plist {
namespace fs = std::filesystem;
namespace {

// Buffers that libplist allocates with malloc. (Newer releases also offer plist_mem_free, which is
// the same free() on every platform this backend builds for.)
struct MallocFree {
    void operator()(char* text) const noexcept { std::free(text); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 if there is none there.
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const auto trail = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return byte(i) >= low && byte(i) <= high;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return trail(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
        const bool second = lead == 0xE0 ? trail(1, 0xA0) : lead == 0xED ? trail(1, 0x80, 0x9F) : trail(1);
        return second && trail(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // No overlong forms (F0 80..8F) and nothing past U+10FFFF (F4 90..).
        const bool second = lead == 0xF0 ? trail(1, 0x90) : lead == 0xF4 ? trail(1, 0x80, 0x8F) : trail(1);
        return second && trail(2) && trail(3) ? 4 : 0;
    }
    return 0;
}

// The value as it can be shown in an error line: bytes that are no UTF-8 as \xNN.
std::string printable(std::string_view value) {
    std::string shown;
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t length = utf8_sequence_length(value.substr(i));
        if (length == 0) {
            shown += fmt::format("\\x{:02X}", static_cast<unsigned char>(value[i++]));
        } else {
            shown.append(value.substr(i, length));
            i += length;
        }
    }
    return shown;
}

}  // namespace

// launchd reads a property list as UTF-8 XML and rejects the whole file for one string it cannot
// read; it is better refused here, naming the value, than reported later as a failed bootstrap.
void check_string(const std::string& key, const std::string& value) {
    const std::string_view text(value);
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text.substr(i));
        if (length == 0) {
            throw PlistError("The value of " + key + " is not valid UTF-8: " + printable(value));
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (length == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            throw PlistError("The value of " + key + " contains a control character (code " + std::to_string(c) +
                             ") that an XML property list cannot hold");
        }
        // U+FFFE and U+FFFF are not XML characters either.
        if (length == 3 && text.compare(i, 2, "\xEF\xBF") == 0 && static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
            throw PlistError(fmt::format("The value of {} contains U+{:04X}, which an XML property list cannot hold: {}",
                                         key, 0xFFFE + (static_cast<unsigned char>(text[i + 2]) - 0xBE), value));
        }
        i += length;
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

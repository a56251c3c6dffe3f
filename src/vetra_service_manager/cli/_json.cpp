#include "vetra_service_manager/cli/_json.hpp"

#include <fmt/format.h>

namespace vetra_service_manager::cli::_json {
namespace {

void escape_code_unit(std::string& out, unsigned value) { out += fmt::format("\\u{:04x}", value); }

// Length of the well-formed UTF-8 sequence at `i` and its code point, or 0 when the byte there
// starts no such sequence (overlong forms and surrogates included).
std::size_t decode(const std::string& text, std::size_t i, char32_t& code_point) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (byte(i + k) & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return 0;
    return length;
}

void write_string(std::string& out, const std::string& text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        escape_code_unit(out, c);
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        char32_t code_point = 0;
        const std::size_t length = decode(text, i, code_point);
        if (length == 0) {
            escape_code_unit(out, 0xDC00 + c);  // an undecodable byte, kept recognisable
            ++i;
        } else if (code_point >= 0x10000) {
            const char32_t offset = code_point - 0x10000;
            escape_code_unit(out, 0xD800 + (offset >> 10));
            escape_code_unit(out, 0xDC00 + (offset & 0x3FF));
            i += length;
        } else {
            escape_code_unit(out, code_point);
            i += length;
        }
    }
    out += '"';
}

void write(std::string& out, const nlohmann::ordered_json& value, int indent, int depth) {
    const std::string inner(static_cast<std::size_t>(indent * (depth + 1)), ' ');
    const std::string outer(static_cast<std::size_t>(indent * depth), ' ');
    if (value.is_object() || value.is_array()) {
        const bool object = value.is_object();
        if (value.empty()) {
            out += object ? "{}" : "[]";
            return;
        }
        out += object ? "{\n" : "[\n";
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first) out += ",\n";
            first = false;
            out += inner;
            if (object) {
                write_string(out, it.key());
                out += ": ";
            }
            write(out, *it, indent, depth + 1);
        }
        out += '\n' + outer + (object ? '}' : ']');
    } else if (value.is_string()) {
        write_string(out, value.get_ref<const std::string&>());
    } else {
        out += value.dump();  // numbers, booleans, null
    }
}

}  // namespace

std::string dumps(const nlohmann::ordered_json& value, int indent) {
    std::string out;
    write(out, value, indent, 0);
    return out;
}

}  // namespace vetra_service_manager::cli::_json

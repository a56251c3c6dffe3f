#include "vetra_service_manager/cli/_json.hpp"

#include <fmt/format.h>

#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::cli::_json {
namespace {

void escape_code_unit(std::string& out, unsigned value) { out += fmt::format("\\u{:04x}", value); }

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
        const auto decoded = platform::text::next_code_point(text, i);
        if (!decoded) {
            escape_code_unit(out, 0xDC00 + c);  // an undecodable byte, kept recognisable
            ++i;
        } else if (decoded->value >= 0x10000) {
            const char32_t offset = decoded->value - 0x10000;
            escape_code_unit(out, 0xD800 + (offset >> 10));
            escape_code_unit(out, 0xDC00 + (offset & 0x3FF));
            i += decoded->length;
        } else {
            escape_code_unit(out, decoded->value);
            i += decoded->length;
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

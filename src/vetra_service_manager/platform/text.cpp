#include "vetra_service_manager/platform/text.hpp"

namespace vetra_service_manager::platform::text {
namespace {

// How far the bytes from text[at] follow the rules of one sequence. The second byte's range
// excludes what would decode as an overlong form, a surrogate or a value past U+10FFFF, so every
// sequence that fits is well-formed.
struct Scan {
    std::size_t declared = 0;  // the length its first byte announces; 0: no sequence starts there
    std::size_t fitting = 0;   // how many of its bytes are there and fit
    char32_t value = 0;        // decoded from the fitting bytes
};

Scan scan(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {1, 1, lead};
    Scan found;
    unsigned char low = 0x80, high = 0xBF;  // the range of the next byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        found = {2, 1, char32_t(lead & 0x1F)};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        found = {3, 1, char32_t(lead & 0x0F)};
        if (lead == 0xE0) low = 0xA0;   // below: overlong
        if (lead == 0xED) high = 0x9F;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        found = {4, 1, char32_t(lead & 0x07)};
        if (lead == 0xF0) low = 0x90;   // below: overlong
        if (lead == 0xF4) high = 0x8F;  // above: past U+10FFFF
    } else {
        return {};
    }
    for (; found.fitting < found.declared && at + found.fitting < text.size(); ++found.fitting) {
        const unsigned char next = byte(at + found.fitting);
        if (next < low || next > high) break;
        found.value = (found.value << 6) | (next & 0x3F);
        low = 0x80, high = 0xBF;
    }
    return found;
}

}  // namespace

std::string_view without_trailing_space(std::string_view text) {
    const auto end = text.find_last_not_of(" \t\n\v\f\r");
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::optional<CodePoint> next_code_point(std::string_view text, std::size_t at) {
    const Scan found = scan(text, at);
    if (found.declared == 0 || found.fitting != found.declared) return std::nullopt;
    return CodePoint{found.value, found.declared};
}

bool is_cut_off(std::string_view text, std::size_t at) {
    const Scan found = scan(text, at);
    return found.fitting < found.declared && at + found.fitting == text.size();
}

std::string printable(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto code = next_code_point(text, i);
        const char32_t value = code ? code->value : 0;
        if (code && value >= 0x20 && value != 0x7F && !(value >= 0x80 && value <= 0x9F)) {
            result.append(text.substr(i, code->length));
            i += code->length;
            continue;
        }
        // A control (as its code point) or a byte that is no character (as itself).
        const unsigned shown = code ? static_cast<unsigned>(value) : static_cast<unsigned char>(text[i]);
        result += code && value >= 0x80 ? "\\u00" : "\\x";
        result += HEX[shown >> 4];
        result += HEX[shown & 0xF];
        i += code ? code->length : 1;
    }
    return result;
}

}  // namespace vetra_service_manager::platform::text

#pragma once
// What every target shares: a failed property is a crash libFuzzer keeps, with a line saying which.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vsm_fuzz {

inline void check(bool holds, const char* property) {
    if (holds) return;
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each NUL into `count` fields (missing ones empty, the last taking the rest).
template <std::size_t count>
std::array<std::string, count> fields(std::string_view input) {
    std::array<std::string, count> result;
    for (std::size_t i = 0; i < count; ++i) {
        const auto end = i + 1 == count ? std::string_view::npos : input.find('\0');
        result[i] = std::string(input.substr(0, end));
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    return result;
}

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
inline bool valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto at = [&](std::size_t k) { return i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0u; };
        const auto in = [&](std::size_t k, unsigned lo, unsigned hi) { return at(k) >= lo && at(k) <= hi; };
        const unsigned lead = at(0);
        std::size_t length = 0;
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = in(1, 0x80, 0xBF) ? 2 : 0;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = (lead == 0xE0 ? in(1, 0xA0, 0xBF) : lead == 0xED ? in(1, 0x80, 0x9F) : in(1, 0x80, 0xBF)) &&
                             in(2, 0x80, 0xBF) ? 3 : 0;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = (lead == 0xF0 ? in(1, 0x90, 0xBF) : lead == 0xF4 ? in(1, 0x80, 0x8F) : in(1, 0x80, 0xBF)) &&
                             in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace vsm_fuzz

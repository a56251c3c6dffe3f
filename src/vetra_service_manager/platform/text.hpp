#pragma once
// Text as the bytes it is: the white space tools end their messages with, and UTF-8 read one code
// point at a time. What an invalid sequence means (an error, an escape, bytes passed through) is
// each caller's to decide.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vetra_service_manager::platform::text {

// `text` without the white space at its end (spaces, tabs, line breaks): a tool's message, which
// ends with a line break, as one line of ours.
std::string_view without_trailing_space(std::string_view text);

struct CodePoint {
    char32_t value;
    std::size_t length;  // of its UTF-8 sequence: 1 to 4 bytes
};

// The code point whose well-formed UTF-8 sequence starts at text[at], at < text.size(). nullopt
// when none starts there: a continuation byte or a byte no sequence starts with, a sequence cut
// short (by another byte or by the end of `text`), an overlong form, a surrogate (U+D800..U+DFFF),
// or a value past U+10FFFF.
std::optional<CodePoint> next_code_point(std::string_view text, std::size_t at);

// Whether text[at..] is the start of a well-formed sequence that the end of `text` cuts short: the
// bytes that follow may complete it.
bool is_cut_off(std::string_view text, std::size_t at);

// `text` as it may be shown on a terminal, within its line: every control character as an escape,
// everything else as it is. C0 controls and DEL become \xNN, C1 controls written as UTF-8
// (U+0080..U+009F) \u00NN, and each byte that starts no well-formed UTF-8 sequence \xNN, since an
// 8-bit terminal takes 0x80..0x9F alone for C1 controls (0x9B is CSI, as ESC [ is).
std::string printable(std::string_view text);

}  // namespace vetra_service_manager::platform::text

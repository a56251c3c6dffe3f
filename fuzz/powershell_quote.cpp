// The PowerShell quoter: the quoted text inside single quotes, read back by PowerShell's rules for
// single-quoted strings, is the input and ends exactly at the closing quote.
#include <optional>

#include "check.hpp"
#include "vetra_service_manager/cli/_runnerops.hpp"

namespace ops = vetra_service_manager::cli::_runnerops;

namespace {

// The length of the single quotation mark at `at` (the apostrophe or U+2018..U+201B), else 0.
std::size_t quote_mark(std::string_view text, std::size_t at) {
    if (at < text.size() && text[at] == '\'') return 1;
    if (text.substr(at, 2) == "\xE2\x80" && at + 2 < text.size()) {
        const auto last = static_cast<unsigned char>(text[at + 2]);
        if (last >= 0x98 && last <= 0x9B) return 3;
    }
    return 0;
}

// PowerShell's reading of a single-quoted string that starts at text[0]: any quotation mark ends it
// unless another one follows, and then the pair stands for the second. nullopt when it does not end
// at the last character.
std::optional<std::string> unquote(std::string_view text) {
    std::size_t i = quote_mark(text, 0);
    if (i == 0) return std::nullopt;
    std::string value;
    while (i < text.size()) {
        const std::size_t mark = quote_mark(text, i);
        if (mark == 0) {
            value.push_back(text[i++]);
            continue;
        }
        const std::size_t next = quote_mark(text, i + mark);
        if (next == 0) return i + mark == text.size() ? std::optional(value) : std::nullopt;
        value.append(text.substr(i + mark, next));
        i += mark + next;
    }
    return std::nullopt;  // unterminated
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = vsm_fuzz::text(data, size);
    const auto value = unquote("'" + ops::_powershell_quote(input) + "'");
    vsm_fuzz::check(value.has_value(), "the quoted string ends at its closing quote");
    vsm_fuzz::check(*value == input, "the quoted string reads back as the input");
    return 0;
}

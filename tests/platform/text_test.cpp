// The one UTF-8 decoder, which the unit file, the property list, the task script, the JSON writer,
// the package list and the log reader each apply their own policy to, and the trailing-space trim.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "vetra_service_manager/platform/text.hpp"

namespace {
namespace platform_text = vetra_service_manager::platform::text;

TEST(Text, DecodesWellFormedUtf8AndNothingElse) {
    struct Case {
        std::string bytes;
        std::optional<char32_t> value;  // of the sequence at the start; its length is the whole of `bytes`
        bool cut_off = false;
    };
    const Case cases[] = {
        {"A", U'A'},
        {std::string(1, '\0'), U'\0'},
        {"\xC2\x80", 0x80},
        {"\xC3\xA9", 0xE9},
        {"\xDF\xBF", 0x7FF},
        {"\xE0\xA0\x80", 0x800},
        {"\xED\x9F\xBF", 0xD7FF},
        {"\xEE\x80\x80", 0xE000},
        {"\xEF\xBF\xBF", 0xFFFF},
        {"\xF0\x90\x80\x80", 0x10000},
        {"\xF0\x9F\x98\x80", 0x1F600},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF},
        // A continuation byte, and bytes that start no sequence.
        {"\x80", std::nullopt},
        {"\xBF", std::nullopt},
        {"\xF5\x80\x80\x80", std::nullopt},
        {"\xFF", std::nullopt},
        // Overlong forms.
        {"\xC0\xAF", std::nullopt},
        {"\xC1\xBF", std::nullopt},
        {"\xE0\x9F\xBF", std::nullopt},
        {"\xF0\x8F\xBF\xBF", std::nullopt},
        // Surrogates, and past U+10FFFF.
        {"\xED\xA0\x80", std::nullopt},
        {"\xED\xBF\xBF", std::nullopt},
        {"\xF4\x90\x80\x80", std::nullopt},
        // Cut short by another byte: the byte after the sequence's first is not one of its own.
        {"\xC3" "A", std::nullopt},
        {"\xE2\x82" "A", std::nullopt},
        {"\xF0\x9F\x98" "A", std::nullopt},
        // Cut short by the end of the text: only these can still be completed.
        {"\xC3", std::nullopt, true},
        {"\xE2\x82", std::nullopt, true},
        {"\xF0\x9F\x98", std::nullopt, true},
        {"\xE0", std::nullopt, true},
        {"\xE0\x80", std::nullopt},   // overlong whatever follows
        {"\xED\xA0", std::nullopt},   // a surrogate whatever follows
        {"\xF4\x90", std::nullopt},   // past U+10FFFF whatever follows
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        const auto decoded = platform_text::next_code_point(c.bytes, 0);
        EXPECT_EQ(decoded.has_value(), c.value.has_value());
        if (decoded && c.value) {
            EXPECT_EQ(decoded->value, *c.value);
            EXPECT_EQ(decoded->length, c.bytes.size());
        }
        EXPECT_EQ(platform_text::is_cut_off(c.bytes, 0), c.cut_off);
    }
    // Within a longer text, from where it is asked.
    EXPECT_EQ(platform_text::next_code_point("a\xC3\xA9z", 1)->length, 2u);
    EXPECT_FALSE(platform_text::is_cut_off("\xC3\xA9", 0));
}

TEST(Text, TrailingWhiteSpaceGoesAndNothingElse) {
    EXPECT_EQ(platform_text::without_trailing_space("Bootstrap failed: 5: Input/output error\r\n"),
              "Bootstrap failed: 5: Input/output error");
    EXPECT_EQ(platform_text::without_trailing_space("  two words \t\n "), "  two words");
    EXPECT_EQ(platform_text::without_trailing_space(" \n"), "");
}

TEST(Text, PrintableEscapesEveryControlInEveryForm) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain \xC3\xA9 \xE2\x9C\x93 \xC2\xA0 text", "plain \xC3\xA9 \xE2\x9C\x93 \xC2\xA0 text"},
        {std::string("\x1b[2J\0\n\x7f", 7), "\\x1b[2J\\x00\\x0a\\x7f"},
        {"\xC2\x9B" "31m \xC2\x85", "\\u009b31m \\u0085"},
        {"\x9B" "31m \xFF \xC3", "\\x9b31m \\xff \\xc3"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(platform_text::printable(text), shown);
        EXPECT_EQ(platform_text::printable(shown), shown) << "escaping twice changes nothing";
    }
}

}  // namespace

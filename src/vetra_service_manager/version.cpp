#include "vetra_service_manager/version.hpp"

#include <array>
#include <utility>

namespace vetra_service_manager::version {

namespace {

// The input with what would break its error line apart (control characters, line and paragraph
// separators) and the backslash written as escapes, so that the message stays one line.
std::string escaped(std::string_view input) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const auto c = static_cast<unsigned char>(input[i]);
        const std::string_view rest = input.substr(i);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += {'\\', 'x', hex[c >> 4], hex[c & 0xF]};
        } else if (rest.starts_with("\xC2\x85")) {
            out += "\\u0085";
            i += 1;
        } else if (rest.starts_with("\xE2\x80\xA8") || rest.starts_with("\xE2\x80\xA9")) {
            out += rest[2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += input[i];
        }
    }
    return out;
}

}  // namespace

InvalidVersion::InvalidVersion(std::string_view input)
    : std::invalid_argument("Invalid version: '" + escaped(input) + "'") {}

namespace {

// A hand-written reader of the version grammar. It reads the text once, left to right, and
// commits to every choice it makes: the grammar's optional pieces never need to be
// revisited (a separator left dangling after a label is harmless because the next label's own
// separator is optional too), so there is no backtracking and no exponential worst case.
//
// Everything is ASCII: numbers stay digit strings so that arbitrarily long ones never overflow.

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z'); }
bool is_separator(char c) { return c == '-' || c == '_' || c == '.'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }  // \t \n \v \f \r
char to_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Every character Unicode calls white space, as UTF-8: besides ASCII's, U+001C..U+001F, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
constexpr std::array<std::string_view, 22> wide_spaces{
    "\x1C", "\x1D", "\x1E", "\x1F", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9",
    "\xE2\x80\xAF", "\xE2\x81\x9F"};
constexpr std::string_view ideographic_space = "\xE3\x80\x80";

// The length of the white-space character at the front (or, with `back`, the end) of `text`, or 0.
std::size_t space_length(std::string_view text, bool back) {
    if (text.empty()) return 0;
    if (is_space(back ? text.back() : text.front())) return 1;
    auto matches = [&](std::string_view space) { return back ? text.ends_with(space) : text.starts_with(space); };
    if (matches(ideographic_space)) return ideographic_space.size();
    for (const auto space : wide_spaces) {
        if (matches(space)) return space.size();
    }
    return 0;
}

std::string_view strip_spaces(std::string_view text) {
    while (const auto n = space_length(text, false)) text.remove_prefix(n);
    while (const auto n = space_length(text, true)) text.remove_suffix(n);
    return text;
}

// "007" -> "7", "000" -> "0".
std::string without_leading_zeros(std::string_view digits) {
    const auto first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string("0") : std::string(digits.substr(first));
}

// A spelling of a label and the text it normalises to.
struct Spelling {
    std::string_view spelling;
    std::string_view normalized;
};

// Longer spellings come before their own prefixes ("alpha" before "a", "preview" before "pre").
constexpr std::array<Spelling, 8> pre_release_spellings{{
    {"alpha", "a"}, {"a", "a"}, {"beta", "b"}, {"b", "b"},
    {"preview", "rc"}, {"pre", "rc"}, {"c", "rc"}, {"rc", "rc"},
}};
constexpr std::array<Spelling, 3> post_release_spellings{{{"post", ".post"}, {"rev", ".post"}, {"r", ".post"}}};
constexpr std::array<Spelling, 1> dev_release_spellings{{{"dev", ".dev"}}};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    // The normalised text, or nothing when the text is not a version.
    std::optional<std::string> normalized() {
        std::string out;
        if (!read_public_version(out) || !read_local_version(out) || pos_ != text_.size()) return std::nullopt;
        return out;
    }

private:
    char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }

    std::string_view read_digits() {
        const std::size_t start = pos_;
        while (is_digit(peek())) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    void skip_separator() {
        if (is_separator(peek())) ++pos_;
    }

    // Case-insensitive match of one of the spellings at the current position.
    template <std::size_t N>
    const Spelling* read_spelling(const std::array<Spelling, N>& spellings) {
        for (const auto& candidate : spellings) {
            const auto word = candidate.spelling;
            if (text_.size() - pos_ < word.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < word.size() && same; ++i) same = to_lower(text_[pos_ + i]) == word[i];
            if (same) {
                pos_ += word.size();
                return &candidate;
            }
        }
        return nullptr;
    }

    // [sep] label [sep] [number], written as <label><number> with an implicit number 0.
    template <std::size_t N>
    bool read_labelled_number(const std::array<Spelling, N>& spellings, std::string& out) {
        const std::size_t start = pos_;
        skip_separator();
        const Spelling* label = read_spelling(spellings);
        if (label == nullptr) {
            pos_ = start;
            return false;
        }
        skip_separator();
        out += label->normalized;
        out += without_leading_zeros(read_digits());  // an empty number means 0
        return true;
    }

    // ["v"] [epoch "!"] release [pre] [post] [dev]
    bool read_public_version(std::string& out) {
        if (to_lower(peek()) == 'v') ++pos_;

        std::string_view first = read_digits();
        if (first.empty()) return false;
        if (peek() == '!') {
            ++pos_;
            const std::string epoch = without_leading_zeros(first);
            if (epoch != "0") out += epoch + "!";
            first = read_digits();
            if (first.empty()) return false;
        }
        out += without_leading_zeros(first);
        while (peek() == '.' && is_digit(peek(1))) {
            ++pos_;
            out += '.';
            out += without_leading_zeros(read_digits());
        }

        read_labelled_number(pre_release_spellings, out);
        if (peek() == '-' && is_digit(peek(1))) {  // "1.0-1" is an implicit post-release
            ++pos_;
            out += ".post" + without_leading_zeros(read_digits());
        } else {
            read_labelled_number(post_release_spellings, out);
        }
        read_labelled_number(dev_release_spellings, out);
        return true;
    }

    // "+" segment (sep segment)*, lowercased, joined with ".", numeric segments without leading zeros.
    bool read_local_version(std::string& out) {
        if (peek() != '+') return true;
        ++pos_;
        out += '+';
        for (;;) {
            const std::size_t start = pos_;
            bool numeric = true;
            while (is_lower_alnum(to_lower(peek()))) {
                numeric = numeric && is_digit(peek());
                ++pos_;
            }
            if (pos_ == start) return false;  // empty segment: "1.0+", "1.0+a..b", "1.0+a."
            const std::string_view segment = text_.substr(start, pos_ - start);
            if (numeric) {
                out += without_leading_zeros(segment);
            } else {
                for (char c : segment) out += to_lower(c);
            }
            if (!is_separator(peek())) return true;
            ++pos_;
            out += '.';
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The normalised text with the release's trailing ".0" components dropped (at least one number
// stays). Everything else already compares as text once normalised: numbers have no leading zeros,
// labels and local segments are lower case, separators are uniform, implicit numbers are written.
std::string comparison_key(const std::string& normalized) {
    const auto bang = normalized.find('!');
    const std::size_t start = bang == std::string::npos ? 0 : bang + 1;
    std::size_t end = start;
    while (end < normalized.size() && is_digit(normalized[end])) ++end;
    while (end + 1 < normalized.size() && normalized[end] == '.' && is_digit(normalized[end + 1])) {
        ++end;
        while (end < normalized.size() && is_digit(normalized[end])) ++end;
    }
    std::size_t release_end = end;
    while (release_end - start >= 3 && normalized.compare(release_end - 2, 2, ".0") == 0) release_end -= 2;
    return normalized.substr(0, release_end) + normalized.substr(end);
}

}  // namespace

Version::Version(std::string_view text) {
    auto normalized = Reader(strip_spaces(text)).normalized();
    if (!normalized) throw InvalidVersion(text);
    normalized_ = std::move(*normalized);
    key_ = comparison_key(normalized_);
}

std::ostream& operator<<(std::ostream& out, const Version& value) { return out << value.str(); }

}  // namespace vetra_service_manager::version

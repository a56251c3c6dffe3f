#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "vetra_service_manager/version.hpp"

namespace {

using vetra_service_manager::InvalidVersion;
using vetra_service_manager::Version;

struct Accepted {
    std::string_view input;
    std::string_view normalized;
};

constexpr Accepted accepted[] = {
    // Release segments, prefix, epochs, whitespace.
    {"1", "1"},
    {"v1.2", "1.2"},
    {"V1.0", "1.0"},
    {"01.002", "1.2"},
    {"1.0.0.0.0", "1.0.0.0.0"},
    {"1!1.0", "1!1.0"},
    {"0!1.0", "1.0"},
    {"00!00.00", "0.0"},
    {"010!1", "10!1"},
    {"v1!1.0", "1!1.0"},
    {" 1.0 \n", "1.0"},
    {"\t\v\f\r 1.0 \n\r", "1.0"},
    {"\xE2\x80\xAF\xE2\x80\xA9" "1.0\xE3\x80\x80\xC2\x85\x1F", "1.0"},  // U+202F U+2029, U+3000 U+0085 U+001F
    // Pre-releases: every spelling, separators on either side, implicit number.
    {"1.0.0-RC1", "1.0.0rc1"},
    {"1.0a.1", "1.0a1"},
    {"1.0c1", "1.0rc1"},
    {"1.0-preview_2", "1.0rc2"},
    {"1.0alpha", "1.0a0"},
    {"1.0ALPHA_3", "1.0a3"},
    {"1.0-beta.2", "1.0b2"},
    {"1.0b02", "1.0b2"},
    {"1.0pre", "1.0rc0"},
    {"1.0.pre.1", "1.0rc1"},
    {"1.0rc", "1.0rc0"},
    // Post-releases, including the implicit "-N" form.
    {"1.0-1", "1.0.post1"},
    {"1.0-0", "1.0.post0"},
    {"1.0.post-2", "1.0.post2"},
    {"1.0-r4", "1.0.post4"},
    {"1.0r", "1.0.post0"},
    {"1.0_rev_3", "1.0.post3"},
    {"1.0POST", "1.0.post0"},
    {"1.0a1-1", "1.0a1.post1"},
    // Dev-releases.
    {"2.0.DEV", "2.0.dev0"},
    {"1.0dev", "1.0.dev0"},
    {"1.0.dev_007", "1.0.dev7"},
    {"1.0-dev-1", "1.0.dev1"},
    // A separator after a label with no number is allowed, also before the next part.
    {"1.0a.", "1.0a0"},
    {"1.0.post.", "1.0.post0"},
    {"1.0a.-1", "1.0a0.post1"},
    {"1.0a.-post", "1.0a0.post0"},
    {"1.0a-+local", "1.0a0+local"},
    // Local versions.
    {"1.0+Ubuntu-1", "1.0+ubuntu.1"},
    {"1.0+AbC_01.DEF-002", "1.0+abc.1.def.2"},
    {"1.0+000", "1.0+0"},
    {"1.0+01a", "1.0+01a"},
    // Everything at once.
    {"2!1.0rc1-1.dev1+local", "2!1.0rc1.post1.dev1+local"},
    {" V1!2.0-Alpha.2_Rev-3.DEV_4+Ab.05 ", "1!2.0a2.post3.dev4+ab.5"},
    // Numbers far beyond any integer type.
    {"1.000000000000000000000000000123456789012345678901234567890",
     "1.123456789012345678901234567890"},
    {"99999999999999999999999!1rc99999999999999999999.post99999999999999999999.dev99999999999999999999"
     "+99999999999999999999",
     "99999999999999999999999!1rc99999999999999999999.post99999999999999999999.dev99999999999999999999"
     "+99999999999999999999"},
};

class VersionAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(VersionAccepts, NormalisesTheText) {
    const auto& [input, normalized] = GetParam();
    EXPECT_EQ(Version(input).str(), normalized) << "input: '" << input << "'";
}

INSTANTIATE_TEST_SUITE_P(Table, VersionAccepts, ::testing::ValuesIn(accepted));

constexpr std::string_view rejected[] = {
    "",
    " \t\n",
    "v",
    "vv1",
    "1.",
    ".1",
    "-1.0",
    "1..0",
    "1,0",
    "1.0-",
    "1.0_1",  // the implicit post-release takes "-" only
    "1.0--1",
    "1.0-1-1",
    "1!",
    "!1",
    "1!!1",
    "1!v1",
    "1.0 1",
    "1.0 +local",
    "1.2.3-garbage!",
    "1.0gamma",
    "1.0a1a1",
    "1.0alpha-beta",
    "1.0a..1",
    "1.0a.-.post",
    "1.0.post1.post2",
    "1.0-1.post1",
    "1.0.dev1.dev2",
    "1.0.dev1.post1",
    "1.0.dev1a1",
    "1.0.re",
    "1.0+",
    "1.0+a..b",
    "1.0+a.",
    "1.0+-a",
    "1.0+a+b",
    "1.0+a b",
    "1.0.dev1+",
    std::string_view("1.0\0", 4),
    "1.0\xc3\xa9",      // non-ASCII letter
    "\xE2\x80\x8B" "1.0",  // U+200B, a zero-width space, is no white space
};

class VersionRejects : public ::testing::TestWithParam<std::string_view> {};

TEST_P(VersionRejects, ThrowsInvalidVersion) {
    EXPECT_THROW(Version{GetParam()}, InvalidVersion) << "input: '" << GetParam() << "'";
}

INSTANTIATE_TEST_SUITE_P(Table, VersionRejects, ::testing::ValuesIn(rejected));

TEST(Version, ErrorQuotesTheInputAsGiven) {
    try {
        Version version(" 1.2.3-garbage! ");
        FAIL() << "accepted: " << version;
    } catch (const InvalidVersion& error) {
        EXPECT_STREQ(error.what(), "Invalid version: ' 1.2.3-garbage! '");
    }
    // Control characters and line separators are escaped: the message stays one line.
    try {
        Version version("1.0\nx\\\x1b[2J\xE2\x80\xA8");
        FAIL() << "accepted: " << version;
    } catch (const InvalidVersion& error) {
        EXPECT_STREQ(error.what(), "Invalid version: '1.0\\nx\\\\\\x1b[2J\\u2028'");
    }
}

TEST(Version, EqualityFollowsPep440) {
    const struct {
        const char *left, *right;
        bool equal;
    } cases[] = {
        {"v1.0-1", "1.0.post1", true},
        {"1.0", "1.0.0", true},
        {"1", "1.0.0.0", true},
        {"0!1.0a1", "1.0.0a1", true},
        {"2!1.0", "2!1", true},
        {"1.0.post0.dev0", "1.post.dev", true},
        {"1.0+abc.5", "1.0.0+ABC-05", true},
        {"10.0", "10", true},
        {"1.0", "1.0.1", false},
        {"1.10", "1.1", false},
        {"10", "1.0", false},
        {"1!1.0", "1.0", false},
        {"1.0a1", "1.0", false},
        {"1.0", "1.0+abc", false},
        {"1.0+abc", "1.0+abc.0", false},
        {"1.0+0", "1.0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Version(c.left) == Version(c.right), c.equal) << c.left << " == " << c.right;
    }
    EXPECT_EQ(Version("1.0.0").str(), "1.0.0");  // the text stays as written, only normalised
}

}  // namespace

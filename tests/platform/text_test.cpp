// The trailing-space trim that tools' messages go through.
#include <gtest/gtest.h>

#include <string>

#include "vetra_service_manager/platform/text.hpp"

namespace {
namespace platform_text = vetra_service_manager::platform::text;

TEST(Text, TrailingWhiteSpaceGoesAndNothingElse) {
    EXPECT_EQ(platform_text::without_trailing_space("Bootstrap failed: 5: Input/output error\r\n"),
              "Bootstrap failed: 5: Input/output error");
    EXPECT_EQ(platform_text::without_trailing_space("  two words \t\n "), "  two words");
    EXPECT_EQ(platform_text::without_trailing_space(" \n"), "");
}

}  // namespace

// Reading a growing log: last lines, appended text, a trim underneath, and UTF-16 LE files.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/cli/_log_reader.hpp"

namespace {

using vetra_service_manager::cli::_log_reader::LogReader;
using vetra_service_manager::cli::_log_reader::utf16le_to_utf8;

// UTF-16 LE bytes of UTF-8 text made of characters below U+0800 plus the pairs given as units.
std::string utf16le(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(LogReader, LastLinesThenWhatIsAppended) {
    vsm_test::TempDir dir;
    const auto file = dir / "out.log";
    LogReader reader(file);
    EXPECT_FALSE(reader.exists());
    EXPECT_EQ(reader.appended(), "");  // not created yet: nothing, no error

    std::string big;
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\n";  // beyond one read block
    vsm_test::write_file(file, big + "partial");
    EXPECT_EQ(reader.last_lines(2), "line 19999\npartial");
    EXPECT_EQ(reader.last_lines(0), "");
    EXPECT_EQ(reader.appended(), "");

    vsm_test::write_file(file, big + "partial end\nnext\n");
    EXPECT_EQ(reader.appended(), " end\nnext\n");
}

// A line and a character still being written wait for their end, or for the writer to pause.
TEST(LogReader, IncompleteLinesWaitUntilTheyEndOrTheFileStopsGrowing) {
    vsm_test::TempDir dir;
    const auto file = dir / "out.log";
    LogReader reader(file);
    EXPECT_EQ(reader.last_lines(5), "");
    vsm_test::write_file(file, "one\ntw\xC3");
    EXPECT_EQ(reader.appended(), "one\n");
    EXPECT_EQ(reader.appended(), "tw");  // it stopped growing; the split character still waits
    vsm_test::write_file(file, "one\ntw\xC3\xA9\n");
    EXPECT_EQ(reader.appended(), "\xC3\xA9\n");
    // A byte that nothing to come could make a character of does not wait.
    vsm_test::write_file(file, "one\ntw\xC3\xA9\nbad\xFF");
    EXPECT_EQ(reader.appended(), "");
    EXPECT_EQ(reader.appended(), "bad\xFF");
}

// The trim rewrites the file in place with its tail. Reading goes on after the last line shown
// once the size holds still, or at the new end when that line was trimmed away; nothing is shown
// twice.
TEST(LogReader, AfterATrimReadingResumesAfterTheLastLineShown) {
    vsm_test::TempDir dir;
    const auto file = dir / "out.log";
    LogReader reader(file);
    vsm_test::write_file(file, "a\nb\nc\n");
    EXPECT_EQ(reader.last_lines(1), "c\n");
    vsm_test::write_file(file, "");  // truncated, not yet rewritten
    EXPECT_EQ(reader.appended(), "");
    vsm_test::write_file(file, "b\nc\nd\n");
    EXPECT_EQ(reader.appended(), "");  // still changing
    EXPECT_EQ(reader.appended(), "d\n");

    vsm_test::write_file(file, "x\n");
    EXPECT_EQ(reader.appended(), "");
    EXPECT_EQ(reader.appended(), "");  // "d" is gone: from the new end
    vsm_test::write_file(file, "x\ny\n");
    EXPECT_EQ(reader.appended(), "y\n");
}

TEST(LogReader, Utf16FileWithByteOrderMarkIsShownAsUtf8) {
    vsm_test::TempDir dir;
    const auto file = dir / "supervisor.log";
    const std::string bom = "\xFF\xFE";
    vsm_test::write_file(file, bom + utf16le(u"first\r\nsecond \u00e9\r\n"));
    LogReader reader(file);
    EXPECT_EQ(reader.last_lines(1), "second \u00e9\r\n");
    // A pair split across two writes is decoded once both halves are there.
    vsm_test::write_file(file, bom + utf16le(u"first\r\nsecond \u00e9\r\n\xD83D"));
    EXPECT_EQ(reader.appended(), "");
    vsm_test::write_file(file, bom + utf16le(u"first\r\nsecond \u00e9\r\n\xD83D\xDE00!\n"));
    EXPECT_EQ(reader.appended(), "\U0001F600!\n");
}

TEST(LogReader, UnpairedSurrogatesAndAnOddByteDoNotBreakDecoding) {
    EXPECT_EQ(utf16le_to_utf8(utf16le(u"a\xDE00" u"b\xD83D")), "a\uFFFDb\uFFFD");
    EXPECT_EQ(utf16le_to_utf8(utf16le(u"\u4e2d") + "x"), "\u4e2d");
}

}  // namespace

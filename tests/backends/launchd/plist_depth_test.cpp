// Property lists nested past any real one are refused before libplist's recursive readers see
// them, in both forms; up to the bound they read as before.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vetra_service_manager/backends/launchd/plist.hpp"

namespace {

namespace plist = vetra_service_manager::backends::launchd::plist;

// A root dictionary whose one value is `arrays` arrays, each inside the one before.
std::string xml_plist(int arrays) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>a</key>";
    for (int i = 0; i < arrays; ++i) text += "<array>";
    for (int i = 0; i < arrays; ++i) text += "</array>";
    return text + "</dict></plist>\n";
}

std::string big_endian(std::uint64_t value, int size) {
    std::string bytes;
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift & 0xFF);
    return bytes;
}

// The same in the binary form: object 0 the dictionary, 1 its key, 2.. the arrays.
std::string binary_plist(int arrays) {
    const auto ref = [](std::uint64_t object) { return big_endian(object, 4); };
    std::vector<std::string> objects{"\xD1" + ref(1) + ref(2), "\x51" "a"};
    for (int i = 0; i < arrays; ++i) objects.push_back(i + 1 < arrays ? "\xA1" + ref(3 + i) : std::string("\xA0"));
    std::string bytes = "bplist00", table;
    for (const auto& object : objects) {
        table += big_endian(bytes.size(), 4);
        bytes += object;
    }
    const std::uint64_t table_at = bytes.size();
    return bytes + table + std::string(6, '\0') + "\x04\x04" + big_endian(objects.size(), 8) + big_endian(0, 8) +
           big_endian(table_at, 8);
}

TEST(PlistDepth, SixtyFourLevelsReadAndDeeperOnesAreRefusedUnread) {
    for (const auto& form : {xml_plist, binary_plist}) {
        EXPECT_EQ(plist::Dict::parse(form(63)).get_string("missing"), std::nullopt) << "the root and 63 arrays";
        for (int arrays : {64, 300000}) {
            EXPECT_THROW(plist::Dict::parse(form(arrays)), plist::PlistError) << arrays;
        }
    }
}

}  // namespace

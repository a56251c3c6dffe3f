// The installed version, read back from the property list in either format.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>

#include "backends/launchd/launchd_fixture.hpp"
#include "vetra_service_manager/exceptions.hpp"

namespace vsm_test {
namespace {

using namespace vetra_service_manager;

std::string xml_with(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
           "</dict>\n</plist>\n";
}

std::string binary_with_version(const std::string& version) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Version", plist_new_string(version.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string result(data, length);
    std::free(data);
    plist_free(root);
    return result;
}

struct Failure {
    ServiceOperation operation;
    std::string message;
    bool chained;
    std::string log;
};

class MacOSVersionTest : public LaunchdTest {
protected:
    // What version() raises for this file content.
    Failure version_failure(const std::string& content) const {
        write_file(plist, content);
        LogCapture log;
        try {
            (void)manager().version();
        } catch (const ServiceOperationError& error) {
            return {error.operation(), error.what(), dynamic_cast<const std::nested_exception*>(&error) != nullptr,
                    log.text()};
        }
        ADD_FAILURE() << "version() raised nothing";
        return {};
    }
};

TEST_F(MacOSVersionTest, ReadsTheVersionFromXmlAndBinaryPropertyLists) {
    write_file(plist, xml_with("<key>Label</key><string>x</string><key>Version</key><string>2.1.0</string>\n"));
    EXPECT_EQ(manager().version(), Version("2.1.0"));
    write_file(plist, binary_with_version("3.0.1"));
    EXPECT_EQ(manager().version(), Version("3.0.1"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(MacOSVersionTest, MissingPropertyListIsNoVersion) {
    LogCapture log;
    EXPECT_EQ(manager().version(), std::nullopt);
    EXPECT_NE(log.text().find("warning vetra_service_manager.backends.launchd.macos: Plist file not found, service may not be "
                              "installed"),
              std::string::npos);
}

TEST_F(MacOSVersionTest, MissingOrEmptyVersionRaisesAndIsLoggedOnce) {
    for (const std::string entries : {"<key>Label</key><string>x</string>\n", "<key>Version</key><string></string>\n"}) {
        SCOPED_TRACE(entries);
        const auto failure = version_failure(xml_with(entries));
        EXPECT_EQ(failure.operation, ServiceOperation::GET_VERSION);
        EXPECT_EQ(failure.message, "Failed to read version from plist file: Version key missing");
        const auto logged = split_lines(failure.log);
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](const auto& line) { return line.starts_with("error "); }), 1)
            << failure.log;
        EXPECT_NE(failure.log.find("error vetra_service_manager.backends.launchd.macos: " + failure.message + "\n"),
                  std::string::npos);
    }
}

TEST_F(MacOSVersionTest, UnreadableContentIsAGetVersionErrorChainedToItsCause) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not a property list", "this is plain text, not a property list\n"},
        {"empty file", ""},
        {"truncated XML", xml_with("<key>Version</key><string>1.0</string>\n").substr(0, 90)},
        {"root is an array", "<plist version=\"1.0\"><array><string>1.0</string></array></plist>"},
        {"Version is an integer", xml_with("<key>Version</key><integer>3</integer>\n")},
        {"Version is a dictionary", xml_with("<key>Version</key><dict/>\n")},
        {"binary header, garbage body", "bplist00" + std::string(40, '\xff')},
        // The reader takes a raw NUL into a string; it must not end this process.
        {"NUL inside the version", xml_with(std::string("<key>Version</key><string>1.0\0</string>\n", 40))},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        const auto failure = version_failure(content);
        EXPECT_EQ(failure.operation, ServiceOperation::GET_VERSION);
        EXPECT_TRUE(failure.message.starts_with("Failed to read version from plist file: ")) << failure.message;
        EXPECT_TRUE(failure.chained);
    }
}

TEST_F(MacOSVersionTest, VersionTheParserRejectsIsAGetVersionError) {
    try {
        Version probe("not a version");
    } catch (const InvalidVersion&) {
        const auto failure = version_failure(xml_with("<key>Version</key><string>not a version</string>\n"));
        EXPECT_EQ(failure.operation, ServiceOperation::GET_VERSION);
        EXPECT_EQ(failure.message, "Failed to read version from plist file: Invalid version: 'not a version'");
        return;
    }
    GTEST_SKIP() << "the version parser in this build accepts any text";
}

}  // namespace
}  // namespace vsm_test

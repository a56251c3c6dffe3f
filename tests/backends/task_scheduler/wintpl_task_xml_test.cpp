// The scheduled task document: exact form, escaping, short forms, and validity against the
// published Task Scheduler schema.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/task_scheduler/wintpl.hpp"
#include "vetra_service_manager/platform/process.hpp"

namespace {

using vetra_service_manager::backends::task_scheduler::wintpl::create_scheduled_task_xml;
namespace process = vetra_service_manager::platform::process;

const std::filesystem::path SCRIPT{R"(C:\Users\Jo Doe\AppData\Local\norvale\sync_agent\sync_agent.vbs)"};
constexpr const char* ACCOUNT_SID = "S-1-5-21-1004336348-1177238915-682003330-1001";

std::string standard_document() {
    return create_scheduled_task_xml("sync_agent", "sync_agent-jodoe", "1.4.2", SCRIPT, R"(WORKSTATION\jodoe)", ACCOUNT_SID);
}

TEST(TaskXml, WholeDocument) {
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
        "<Task version=\"1.3\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
        "<RegistrationInfo><Description>Service sync_agent\nversion=1.4.2\nuser=WORKSTATION\\jodoe</Description>"
        "<URI>\\\\sync_agent-jodoe</URI></RegistrationInfo>"
        "<Triggers><LogonTrigger><Enabled>true</Enabled><UserId>WORKSTATION\\jodoe</UserId></LogonTrigger></Triggers>"
        "<Principals><Principal id=\"Author\"><UserId>S-1-5-21-1004336348-1177238915-682003330-1001</UserId>"
        "<LogonType>InteractiveToken</LogonType><RunLevel>LeastPrivilege</RunLevel></Principal></Principals>"
        "<Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
        "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
        "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><AllowHardTerminate>true</AllowHardTerminate>"
        "<StartWhenAvailable>false</StartWhenAvailable><RunOnlyIfNetworkAvailable>false</RunOnlyIfNetworkAvailable>"
        "<IdleSettings><Duration>PT10M</Duration><WaitTimeout>PT1H</WaitTimeout><StopOnIdleEnd>false</StopOnIdleEnd>"
        "<RestartOnIdle>false</RestartOnIdle></IdleSettings><AllowStartOnDemand>true</AllowStartOnDemand>"
        "<Enabled>true</Enabled><Hidden>false</Hidden><RunOnlyIfIdle>false</RunOnlyIfIdle>"
        "<DisallowStartOnRemoteAppSession>false</DisallowStartOnRemoteAppSession>"
        "<UseUnifiedSchedulingEngine>true</UseUnifiedSchedulingEngine><WakeToRun>false</WakeToRun>"
        "<ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Priority>7</Priority>"
        "<RestartOnFailure><Interval>PT1M</Interval><Count>10</Count></RestartOnFailure></Settings>"
        "<Actions Context=\"Author\"><Exec><Command>wscript.exe</Command>"
        "<Arguments>//B //NoLogo \"C:\\Users\\Jo Doe\\AppData\\Local\\norvale\\sync_agent\\sync_agent.vbs\"</Arguments>"
        "</Exec></Actions></Task>";
    EXPECT_EQ(standard_document(), expected);
}

struct Fragments {
    const char* name;
    std::string document;
    std::vector<std::string> expected;
};

TEST(TaskXml, ValuesAreEscapedAndEmptyOnesUseTheShortForm) {
    const Fragments cases[] = {
        {"markup in the service name and version",
         create_scheduled_task_xml("a&b<c>d\"e", "t", "1.0 & <2>", SCRIPT, "u", "s"),
         {"<Description>Service a&amp;b&lt;c&gt;d\"e\nversion=1.0 &amp; &lt;2&gt;\nuser=u</Description>"}},
        {"markup and quotes in the script path",
         create_scheduled_task_xml("s", "t", "1", std::filesystem::path(R"(C:\a&b\<x> "y".vbs)"), "u", "s"),
         {"<Arguments>//B //NoLogo \"C:\\a&amp;b\\&lt;x&gt; \"y\".vbs\"</Arguments>"}},
        {"markup in the task name and account",
         create_scheduled_task_xml("s", "t&<", "1", SCRIPT, "DOM\\a&b", "S-<1>"),
         {"<URI>\\\\t&amp;&lt;</URI>", "<UserId>DOM\\a&amp;b</UserId></LogonTrigger>",
          "<Principal id=\"Author\"><UserId>S-&lt;1&gt;</UserId>", "\nuser=DOM\\a&amp;b</Description>"}},
        {"empty account name",
         create_scheduled_task_xml("s", "t", "1", SCRIPT, "", ACCOUNT_SID),
         {"<LogonTrigger><Enabled>true</Enabled><UserId /></LogonTrigger>", "\nversion=1\nuser=</Description>"}},
        {"empty security identifier",
         create_scheduled_task_xml("s", "t", "1", SCRIPT, "u", ""),
         {"<Principal id=\"Author\"><UserId /><LogonType>"}},
        {"empty task name", create_scheduled_task_xml("s", "", "1", SCRIPT, "u", ACCOUNT_SID), {"<URI>\\\\</URI>"}},
        {"non-ASCII text passes unchanged",
         create_scheduled_task_xml("s", "t", "1", std::filesystem::path("C:\\Users\\J\xC3\xB6rg\\s.vbs"),
                                   "PC\\J\xC3\xB6rg", ACCOUNT_SID),
         {"<Arguments>//B //NoLogo \"C:\\Users\\J\xC3\xB6rg\\s.vbs\"</Arguments>", "user=PC\\J\xC3\xB6rg</Description>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& fragment : c.expected) EXPECT_NE(c.document.find(fragment), std::string::npos) << fragment;
        EXPECT_EQ(c.document.find("<UserId/>"), std::string::npos);
        EXPECT_EQ(c.document.back(), '>');
    }
}

TEST(TaskXml, ControlCharactersThatXmlCannotCarryAreRejected) {
    EXPECT_THROW(create_scheduled_task_xml(std::string("a\x01", 2), "t", "1", SCRIPT, "u", "s"),
                 std::invalid_argument);
    EXPECT_THROW(create_scheduled_task_xml("s", "t", "1", SCRIPT, "u", std::string("s\0", 2)), std::invalid_argument);
    EXPECT_THROW(create_scheduled_task_xml("s", "t", "1", std::filesystem::path("C:\\a\x1b.vbs"), "u", "s"),
                 std::invalid_argument);
    // Nor the two noncharacters XML excludes.
    EXPECT_THROW(create_scheduled_task_xml("s", "t", "1\xEF\xBF\xBE", SCRIPT, "u", "s"), std::invalid_argument);
    EXPECT_THROW(create_scheduled_task_xml("s", "t", "1", SCRIPT, "u\xEF\xBF\xBF", "s"), std::invalid_argument);
    // Tab and line breaks are ordinary XML text; a carriage return survives the reader's line-end
    // handling only as a character reference.
    EXPECT_NE(create_scheduled_task_xml("a\tb\r\nc", "t", "1", SCRIPT, "u", "s").find("a\tb&#13;\nc"),
              std::string::npos);
}

// Stores the document the way Task Scheduler takes it, UTF-16 as its declaration says, and
// validates it with xmllint. Returns xmllint's exit code (0: valid).
int validate_as_utf16(const std::string& document, const vsm_test::TempDir& dir) {
    const auto utf8 = dir / "task-utf8.xml";
    const auto utf16 = dir / "task.xml";
    vsm_test::write_file(utf8, document);
    auto converted = process::run_captured(
        {"iconv", "-f", "UTF-8", "-t", "UTF-16", "-o", utf16.string(), utf8.string()});
    EXPECT_EQ(converted.exit_code, 0) << converted.err;
    auto checked = process::run_captured({"xmllint", "--noout", "--schema",
                                          (vsm_test::schemas_dir / "task-scheduler.xsd").string(), utf16.string()});
    return checked.exit_code;
}

TEST(TaskXml, ValidatesAgainstTheTaskSchedulerSchema) {
    vsm_test::TempDir dir;
    EXPECT_EQ(validate_as_utf16(standard_document(), dir), 0);
    EXPECT_EQ(validate_as_utf16(create_scheduled_task_xml("odd & <name>", "odd&name", "2.0.0rc1+local",
                                                          std::filesystem::path("C:\\P\xC3\xA4th\\\"q\".vbs"),
                                                          "PC\\J\xC3\xB6rg", ACCOUNT_SID),
                                dir),
              0);

    // The validator really checks: an action context that names no principal is refused.
    std::string broken = standard_document();
    broken.replace(broken.find("Context=\"Author\""), 16, "Context=\"Nobody\"");
    EXPECT_NE(validate_as_utf16(broken, dir), 0);
}

}  // namespace

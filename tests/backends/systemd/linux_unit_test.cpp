// The unit file text and the values that cannot go into one. That escaped arguments arrive intact
// is proven against systemd itself (systemd/systemd_escaping_test.cpp).
#include <gtest/gtest.h>

#include "vetra_service_manager/backends/systemd/linux_unit.hpp"

namespace {

namespace unit = vetra_service_manager::backends::systemd::linux_unit;

TEST(SystemdUnit, RendersTheSectionsInOrder) {
    EXPECT_EQ(unit::render({"vetra_api", "1.2.dev0", {"/opt/my runner", "run", "50%", "$HOME", ";"}, "/srv/a%b"}),
              "[Unit]\n"
              "Description=vetra_api\n"
              "X-Version=1.2.dev0\n"
              "\n"
              "[Service]\n"
              "Type=exec\n"
              "ExecStart=\"/opt/my runner\" run 50%% $$HOME \\;\n"
              "WorkingDirectory=/srv/a%%b\n"
              "Restart=always\n"
              "RestartSec=60\n"
              "\n"
              "[Install]\n"
              "WantedBy=default.target\n");
}

TEST(SystemdUnit, RefusesWhatAUnitFileCannotCarry) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"/bin/runner", "line\nbreak"}, "/srv"},
        {{"/bin/runner", "carriage\rreturn"}, "/srv"},
        {{"/bin/runner", std::string("n\0l", 3)}, "/srv"},
        {{"/bin/runner", "\xff\xfe"}, "/srv"},
        {{"runner"}, "/srv"},
        {{"-/bin/runner"}, "/srv"},
        // Noncharacters, which systemd takes for text that is not UTF-8 clean.
        {{"/bin/runner", "\xEF\xB7\x90"}, "/srv"},
        {{"/bin/runner", "\xEF\xBF\xBE"}, "/srv"},
        {{"/bin/runner"}, "/srv/\xF0\x9F\xBF\xBF"},
        {{}, "/srv"},
        {{"/bin/runner"}, "relative"},
        {{"/bin/runner"}, "/srv/ends with blank "},
        {{"/bin/runner"}, "/srv/ends\\"},
        {{"/bin/runner"}, "/srv/tab\there"},
    };
    for (const auto& [arguments, directory] : cases) {
        EXPECT_THROW(unit::render({"vetra_api", "1", arguments, directory}), unit::UnitValueError) << directory;
    }
}

TEST(SystemdUnit, ReadsTheVersionBack) {
    EXPECT_EQ(unit::read_version("[Unit]\nDescription=x\nX-Version=2.0rc1\r\n"), "2.0rc1");
    EXPECT_EQ(unit::read_version("[Unit]\nDescription=x\n"), std::nullopt);
}

}  // namespace

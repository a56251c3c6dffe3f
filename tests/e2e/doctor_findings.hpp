#pragma once
// Reading doctor's JSON in tests.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/cli.hpp"

namespace vsm_doctor {

// The first finding of `check` (for `service`, when given) in doctor's JSON; null when none.
inline nlohmann::json finding(const std::string& json, const std::string& check, const std::string& service = {}) {
    const auto document = nlohmann::json::parse(json);
    for (const auto& found : document["findings"]) {
        if (found["check"] == check && (service.empty() || found["service"] == service)) return found;
    }
    ADD_FAILURE() << "no finding " << check << " " << service << " in " << json;
    return nlohmann::json::object({{"level", nullptr}, {"fact", ""}, {"fix", ""}, {"service", nullptr}});
}

// doctor's text on a healthy machine: exit 0 and every finding marked ✓.
inline void expect_healthy(const vetra_service_manager::platform::process::Captured& result) {
    EXPECT_EQ(result.exit_code, 0) << result.out;
    for (const auto& line : vsm_test::split_lines(result.out)) {
        if (line.starts_with("  ")) {
            EXPECT_TRUE(line.starts_with("  \u2713 ")) << line;
        }
    }
}

}  // namespace vsm_doctor

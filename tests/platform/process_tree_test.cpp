// Which processes stop and uninstall end with the service process: what it started, at any depth,
// and nothing the user started beside it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "vetra_service_manager/platform/process_tree.hpp"

namespace {
using namespace std::chrono;
using vetra_service_manager::platform::process_tree::descendants;
using vetra_service_manager::platform::process_tree::Entry;

TEST(ProcessTree, OnlyWhatTheRootStartedThroughLivingParents) {
    const auto t = system_clock::time_point(sys_days(2026y / December / 10));
    const std::vector<Entry> snapshot = {
        {12, 11, t + 3s},   // grandchild, listed before its parent
        {11, 10, t + 2s},   // child
        {10, 1, t},         // the service process
        {13, 10, t + 2s},   // child created in the same tick as another
        {20, 99, t + 5s},   // a later orphan of the user's (its parent has ended)
        {21, 11, t + 1s},   // older than the child its parent ID names: an earlier holder's
        {22, 21, t + 6s},   // a child of that one
        {0, 0, t - 1h},     // the idle process, its own parent
        {30, 1, t + 1s},    // another program of the user's
    };
    std::vector<std::uint32_t> pids;
    for (const auto index : descendants(snapshot, 10, t)) pids.push_back(snapshot[index].pid);
    EXPECT_THAT(pids, testing::UnorderedElementsAre(11, 12, 13));
}

}  // namespace

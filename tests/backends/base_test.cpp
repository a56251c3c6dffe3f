// What the install skeleton shared by every backend decides, against a backend stand-in whose
// service manager is a few fields.
#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"

namespace {
using namespace vetra_service_manager;
using exceptions::ServiceOperation;
using exceptions::ServiceOperationError;
using Outcome = backends::base::ServiceManagerBackend::Outcome;

// Already installed and enabled; start() "succeeds" and brings the service up only if it can.
class StandIn : public backends::base::ServiceManagerBackend {
public:
    explicit StandIn(bool start_runs, bool stop_ends = true)
        : ServiceManagerBackend("stand_in", "/nonexistent", logging::get_logger("test.stand_in")),
          start_runs_(start_runs),
          stop_ends_(stop_ends) {}

    bool uninstalled = false;

    void uninstall(bool) override { uninstalled = true; }
    void enable_service() override {}
    void disable_service() override {}
    void start_service(const StepReading&) override { running_ = start_runs_; }
    void stop_service(const StepReading&) override { running_ = !stop_ends_; }
    ServiceStatus status() const override {
        return {InstallationStatus::INSTALLED, EnablementStatus::ENABLED,
                running_ ? RunningStatus::RUNNING : RunningStatus::NOT_RUNNING};
    }
    std::optional<version::Version> version() const override { return version::Version("1.0"); }

private:
    void write_definition(const std::vector<std::string>&, const version::Version&) override {
        ADD_FAILURE() << "an installed service's definition is rewritten";
    }

    bool start_runs_;
    bool stop_ends_;
    bool running_ = false;
};

// A start that returns without error proves nothing: install trusts only the status that follows.
TEST(InstallSkeleton, InstalledServiceThatDoesNotComeUpFailsAsStart) {
    for (const bool start_runs : {true, false}) {
        SCOPED_TRACE(start_runs ? "start runs it" : "start runs nothing");
        StandIn backend(start_runs);
        try {
            backend.install({"/bin/runner"}, version::Version("1.0"));
            EXPECT_TRUE(start_runs);
        } catch (const ServiceOperationError& error) {
            EXPECT_FALSE(start_runs) << error.what();
            EXPECT_EQ(error.operation(), ServiceOperation::START);
        }
        // What the user had stays installed either way.
        EXPECT_FALSE(backend.uninstalled);
    }
}

// A stop whose wait ran out is only a warning in the backend, but the step says what it left.
TEST(StopStep, TellsAStopThatLeftTheServiceRunning) {
    for (const bool stop_ends : {true, false}) {
        SCOPED_TRACE(stop_ends ? "stop ends it" : "it outlives the stop");
        StandIn backend(true, stop_ends);
        backend.start();
        vsm_test::LogCapture logs;
        EXPECT_EQ(backend.stop(), stop_ends ? Outcome::CHANGED : Outcome::STILL_RUNNING);
        EXPECT_EQ(logs.text().find("successfully stopped") != std::string::npos, stop_ends) << logs.text();
    }
}

}  // namespace

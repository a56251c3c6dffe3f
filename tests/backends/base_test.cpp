// What the install skeleton shared by every backend decides, against a backend stand-in whose
// service manager is a few fields.
#include <gtest/gtest.h>

#include "vetra_service_manager/backends/base.hpp"
#include "vetra_service_manager/exceptions.hpp"
#include "vetra_service_manager/logging.hpp"

namespace {
using namespace vetra_service_manager;
using exceptions::ServiceOperation;
using exceptions::ServiceOperationError;

// Already installed and enabled; start() "succeeds" and brings the service up only if it can.
class StandIn : public backends::base::ServiceManagerBackend {
public:
    explicit StandIn(bool start_runs)
        : ServiceManagerBackend("stand_in", "/nonexistent", logging::get_logger("test.stand_in")),
          start_runs_(start_runs) {}

    bool uninstalled = false;

    void uninstall(bool) override { uninstalled = true; }
    void enable_service() override {}
    void disable_service() override {}
    void start_service(const StepReading&) override { running_ = start_runs_; }
    void stop_service(const StepReading&) override { running_ = false; }
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

}  // namespace

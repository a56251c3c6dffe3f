#pragma once
// Operation names and the error kinds that backends raise. Only the dispatcher turns them into text.
#include <stdexcept>
#include <string>

namespace vetra_service_manager::exceptions {

enum class ServiceOperation { INSTALL, UNINSTALL, ENABLE, DISABLE, START, STOP, GET_STATUS, GET_VERSION };

std::string to_string(ServiceOperation operation);

// An operation failed. what() is the message; a replaced error is kept as the nested cause
// (raise with std::throw_with_nested).
class ServiceOperationError : public std::runtime_error {
public:
    ServiceOperationError(ServiceOperation operation, const std::string& message);
    ServiceOperation operation() const noexcept { return operation_; }

private:
    ServiceOperation operation_;
};

// The service is already in the state an operation was asked to reach, and the caller asked to be told.
class ServicePreconditionError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ServiceAlreadyInstalledError : public ServicePreconditionError {
public:
    ServiceAlreadyInstalledError() : ServicePreconditionError("Service is already installed") {}
};
class ServiceNotInstalledError : public ServicePreconditionError {
public:
    ServiceNotInstalledError() : ServicePreconditionError("Service is not installed") {}
};
class ServiceAlreadyEnabledError : public ServicePreconditionError {
public:
    ServiceAlreadyEnabledError() : ServicePreconditionError("Service is already enabled") {}
};
class ServiceAlreadyDisabledError : public ServicePreconditionError {
public:
    ServiceAlreadyDisabledError() : ServicePreconditionError("Service is already disabled") {}
};
class ServiceAlreadyRunningError : public ServicePreconditionError {
public:
    ServiceAlreadyRunningError() : ServicePreconditionError("Service is already running") {}
};
class ServiceAlreadyStoppedError : public ServicePreconditionError {
public:
    ServiceAlreadyStoppedError() : ServicePreconditionError("Service is not running") {}
};

}  // namespace vetra_service_manager::exceptions

namespace vetra_service_manager {
using exceptions::ServiceOperation;
using exceptions::ServiceOperationError;
}  // namespace vetra_service_manager

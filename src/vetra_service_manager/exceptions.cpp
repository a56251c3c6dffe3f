#include "vetra_service_manager/exceptions.hpp"

namespace vetra_service_manager::exceptions {

std::string to_string(ServiceOperation operation) {
    switch (operation) {
        case ServiceOperation::INSTALL: return "INSTALL";
        case ServiceOperation::UNINSTALL: return "UNINSTALL";
        case ServiceOperation::ENABLE: return "ENABLE";
        case ServiceOperation::DISABLE: return "DISABLE";
        case ServiceOperation::START: return "START";
        case ServiceOperation::STOP: return "STOP";
        case ServiceOperation::GET_STATUS: return "GET_STATUS";
        case ServiceOperation::GET_VERSION: return "GET_VERSION";
    }
    return "UNKNOWN";
}

ServiceOperationError::ServiceOperationError(ServiceOperation operation, const std::string& message)
    : std::runtime_error(message), operation_(operation) {}

}  // namespace vetra_service_manager::exceptions

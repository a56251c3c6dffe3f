#pragma once
// sd-bus's error and message objects, released when they go out of scope.
#include <systemd/sd-bus.h>

namespace vetra_service_manager::backends::systemd::linux_sd_bus {

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

}  // namespace vetra_service_manager::backends::systemd::linux_sd_bus

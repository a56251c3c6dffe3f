// libsystemd, loaded when a command first talks to the user manager rather than by the dynamic
// loader at every start: it brings half a dozen crypto and compression libraries along, which
// most commands (`status` with nothing installed, every command on another platform's files)
// never need. The functions below carry the library's own names and the signatures its header
// declares, so the code that talks to the manager is written as if the library were linked.
// Each resolves its pointer in a table filled once; the variadic ones forward to their va_list
// forms.
#include <systemd/sd-bus.h>

#include <cstdarg>
#include <stdexcept>
#include <string>

#include "vetra_service_manager/platform/platform.hpp"

namespace {

constexpr const char* LIBRARY = "libsystemd.so.0";

// Every function used through the table: one pointer each, named as in the library.
#define VSM_LIBSYSTEMD_FUNCTIONS(X) \
    X(sd_bus_default_user) X(sd_bus_open_user) X(sd_bus_open_user_with_description) X(sd_bus_new) \
    X(sd_bus_set_address) X(sd_bus_set_bus_client) X(sd_bus_set_description) \
    X(sd_bus_set_allow_interactive_authorization) X(sd_bus_set_method_call_timeout) X(sd_bus_start) \
    X(sd_bus_is_open) X(sd_bus_is_ready) X(sd_bus_is_bus_client) X(sd_bus_get_bus_id) \
    X(sd_bus_get_unique_name) X(sd_bus_get_fd) X(sd_bus_get_events) X(sd_bus_get_timeout) X(sd_bus_process) \
    X(sd_bus_wait) X(sd_bus_flush) X(sd_bus_close) X(sd_bus_ref) X(sd_bus_unref) X(sd_bus_flush_close_unref) \
    X(sd_bus_call) X(sd_bus_call_async) X(sd_bus_call_methodv) X(sd_bus_call_method_asyncv) \
    X(sd_bus_get_property) X(sd_bus_get_property_trivial) X(sd_bus_get_property_string) \
    X(sd_bus_get_property_strv) X(sd_bus_match_signal) X(sd_bus_match_signal_async) X(sd_bus_add_match) \
    X(sd_bus_slot_unref) X(sd_bus_message_new_method_call) X(sd_bus_message_ref) X(sd_bus_message_unref) \
    X(sd_bus_message_get_type) X(sd_bus_message_get_path) X(sd_bus_message_get_member) \
    X(sd_bus_message_get_error) X(sd_bus_message_is_signal) X(sd_bus_message_is_method_error) \
    X(sd_bus_message_appendv) X(sd_bus_message_append_basic) X(sd_bus_message_append_strv) \
    X(sd_bus_message_open_container) X(sd_bus_message_close_container) X(sd_bus_message_readv) \
    X(sd_bus_message_read_basic) X(sd_bus_message_read_array) X(sd_bus_message_read_strv) \
    X(sd_bus_message_skip) X(sd_bus_message_enter_container) X(sd_bus_message_exit_container) \
    X(sd_bus_message_peek_type) X(sd_bus_message_verify_type) X(sd_bus_message_at_end) \
    X(sd_bus_message_rewind) X(sd_bus_error_free) X(sd_bus_error_set) X(sd_bus_error_setfv) \
    X(sd_bus_error_set_const) X(sd_bus_error_set_errno) X(sd_bus_error_set_errnofv) X(sd_bus_error_copy) \
    X(sd_bus_error_get_errno) X(sd_bus_error_has_name) X(sd_bus_error_is_set) X(sd_bus_path_encode) \
    X(sd_bus_path_decode)

struct Table {
    bool loaded = false;
#define VSM_POINTER(name) decltype(&::name) name = nullptr;
    VSM_LIBSYSTEMD_FUNCTIONS(VSM_POINTER)
#undef VSM_POINTER
};

const Table& table() {
    static const Table instance = [] {
        namespace platform = vetra_service_manager::platform;
        Table resolved;
#define VSM_RESOLVE(name) \
    resolved.name = reinterpret_cast<decltype(&::name)>(platform::load_library_symbol(LIBRARY, #name));
        VSM_LIBSYSTEMD_FUNCTIONS(VSM_RESOLVE)
#undef VSM_RESOLVE
        // A library that cannot be loaded leaves every pointer empty; one too old lacks a few.
        resolved.loaded = resolved.sd_bus_new != nullptr;
        return resolved;
    }();
    return instance;
}

template <class Function>
Function required(Function function, const char* name) {
    if (function) return function;
    if (!table().loaded) throw std::runtime_error("this command needs systemd's libsystemd.so.0");
    throw std::runtime_error(std::string("this command needs systemd's libsystemd.so.0 with ") + name);
}

}  // namespace

#define VSM_REQUIRED(name) required(table().name, #name)

// The functions that release an object do nothing without the library (nothing can have been
// created then): they run in destructors, which must not throw.
extern "C" {

int sd_bus_default_user(sd_bus** ret) { return VSM_REQUIRED(sd_bus_default_user)(ret); }
int sd_bus_open_user(sd_bus** ret) { return VSM_REQUIRED(sd_bus_open_user)(ret); }
int sd_bus_open_user_with_description(sd_bus** ret, const char* description) {
    return VSM_REQUIRED(sd_bus_open_user_with_description)(ret, description);
}
int sd_bus_new(sd_bus** ret) { return VSM_REQUIRED(sd_bus_new)(ret); }
int sd_bus_set_address(sd_bus* bus, const char* address) { return VSM_REQUIRED(sd_bus_set_address)(bus, address); }
int sd_bus_set_bus_client(sd_bus* bus, int b) { return VSM_REQUIRED(sd_bus_set_bus_client)(bus, b); }
int sd_bus_set_description(sd_bus* bus, const char* description) {
    return VSM_REQUIRED(sd_bus_set_description)(bus, description);
}
int sd_bus_set_allow_interactive_authorization(sd_bus* bus, int b) {
    return VSM_REQUIRED(sd_bus_set_allow_interactive_authorization)(bus, b);
}
int sd_bus_set_method_call_timeout(sd_bus* bus, uint64_t usec) {
    return VSM_REQUIRED(sd_bus_set_method_call_timeout)(bus, usec);
}
int sd_bus_start(sd_bus* bus) { return VSM_REQUIRED(sd_bus_start)(bus); }
int sd_bus_is_open(sd_bus* bus) { return VSM_REQUIRED(sd_bus_is_open)(bus); }
int sd_bus_is_ready(sd_bus* bus) { return VSM_REQUIRED(sd_bus_is_ready)(bus); }
int sd_bus_is_bus_client(sd_bus* bus) { return VSM_REQUIRED(sd_bus_is_bus_client)(bus); }
int sd_bus_get_bus_id(sd_bus* bus, sd_id128_t* id) { return VSM_REQUIRED(sd_bus_get_bus_id)(bus, id); }
int sd_bus_get_unique_name(sd_bus* bus, const char** unique) {
    return VSM_REQUIRED(sd_bus_get_unique_name)(bus, unique);
}
int sd_bus_get_fd(sd_bus* bus) { return VSM_REQUIRED(sd_bus_get_fd)(bus); }
int sd_bus_get_events(sd_bus* bus) { return VSM_REQUIRED(sd_bus_get_events)(bus); }
int sd_bus_get_timeout(sd_bus* bus, uint64_t* timeout_usec) {
    return VSM_REQUIRED(sd_bus_get_timeout)(bus, timeout_usec);
}
int sd_bus_process(sd_bus* bus, sd_bus_message** r) { return VSM_REQUIRED(sd_bus_process)(bus, r); }
int sd_bus_wait(sd_bus* bus, uint64_t timeout_usec) { return VSM_REQUIRED(sd_bus_wait)(bus, timeout_usec); }
int sd_bus_flush(sd_bus* bus) { return VSM_REQUIRED(sd_bus_flush)(bus); }
void sd_bus_close(sd_bus* bus) {
    if (auto* function = table().sd_bus_close) function(bus);
}
sd_bus* sd_bus_ref(sd_bus* bus) { return VSM_REQUIRED(sd_bus_ref)(bus); }
sd_bus* sd_bus_unref(sd_bus* bus) {
    auto* function = table().sd_bus_unref;
    return function ? function(bus) : nullptr;
}
sd_bus* sd_bus_flush_close_unref(sd_bus* bus) {
    auto* function = table().sd_bus_flush_close_unref;
    return function ? function(bus) : nullptr;
}
int sd_bus_call(sd_bus* bus, sd_bus_message* m, uint64_t usec, sd_bus_error* ret_error, sd_bus_message** reply) {
    return VSM_REQUIRED(sd_bus_call)(bus, m, usec, ret_error, reply);
}
int sd_bus_call_async(sd_bus* bus, sd_bus_slot** slot, sd_bus_message* m, sd_bus_message_handler_t callback,
                      void* userdata, uint64_t usec) {
    return VSM_REQUIRED(sd_bus_call_async)(bus, slot, m, callback, userdata, usec);
}
int sd_bus_call_method(sd_bus* bus, const char* destination, const char* path, const char* interface,
                       const char* member, sd_bus_error* ret_error, sd_bus_message** reply, const char* types, ...) {
    const auto function = VSM_REQUIRED(sd_bus_call_methodv);
    va_list ap;
    va_start(ap, types);
    const int result = function(bus, destination, path, interface, member, ret_error, reply, types, ap);
    va_end(ap);
    return result;
}
int sd_bus_call_methodv(sd_bus* bus, const char* destination, const char* path, const char* interface,
                        const char* member, sd_bus_error* ret_error, sd_bus_message** reply, const char* types,
                        va_list ap) {
    return VSM_REQUIRED(sd_bus_call_methodv)(bus, destination, path, interface, member, ret_error, reply, types, ap);
}
int sd_bus_call_method_async(sd_bus* bus, sd_bus_slot** slot, const char* destination, const char* path,
                             const char* interface, const char* member, sd_bus_message_handler_t callback,
                             void* userdata, const char* types, ...) {
    const auto function = VSM_REQUIRED(sd_bus_call_method_asyncv);
    va_list ap;
    va_start(ap, types);
    const int result = function(bus, slot, destination, path, interface, member, callback, userdata, types, ap);
    va_end(ap);
    return result;
}
int sd_bus_call_method_asyncv(sd_bus* bus, sd_bus_slot** slot, const char* destination, const char* path,
                              const char* interface, const char* member, sd_bus_message_handler_t callback,
                              void* userdata, const char* types, va_list ap) {
    return VSM_REQUIRED(sd_bus_call_method_asyncv)(bus, slot, destination, path, interface, member, callback, userdata,
                                                   types, ap);
}
int sd_bus_get_property(sd_bus* bus, const char* destination, const char* path, const char* interface,
                        const char* member, sd_bus_error* ret_error, sd_bus_message** reply, const char* type) {
    return VSM_REQUIRED(sd_bus_get_property)(bus, destination, path, interface, member, ret_error, reply, type);
}
int sd_bus_get_property_trivial(sd_bus* bus, const char* destination, const char* path, const char* interface,
                                const char* member, sd_bus_error* ret_error, char type, void* ret_ptr) {
    return VSM_REQUIRED(sd_bus_get_property_trivial)(bus, destination, path, interface, member, ret_error, type,
                                                     ret_ptr);
}
int sd_bus_get_property_string(sd_bus* bus, const char* destination, const char* path, const char* interface,
                               const char* member, sd_bus_error* ret_error, char** ret) {
    return VSM_REQUIRED(sd_bus_get_property_string)(bus, destination, path, interface, member, ret_error, ret);
}
int sd_bus_get_property_strv(sd_bus* bus, const char* destination, const char* path, const char* interface,
                             const char* member, sd_bus_error* ret_error, char*** ret) {
    return VSM_REQUIRED(sd_bus_get_property_strv)(bus, destination, path, interface, member, ret_error, ret);
}
int sd_bus_match_signal(sd_bus* bus, sd_bus_slot** ret, const char* sender, const char* path, const char* interface,
                        const char* member, sd_bus_message_handler_t callback, void* userdata) {
    return VSM_REQUIRED(sd_bus_match_signal)(bus, ret, sender, path, interface, member, callback, userdata);
}
int sd_bus_match_signal_async(sd_bus* bus, sd_bus_slot** ret, const char* sender, const char* path,
                              const char* interface, const char* member, sd_bus_message_handler_t match_callback,
                              sd_bus_message_handler_t add_callback, void* userdata) {
    return VSM_REQUIRED(sd_bus_match_signal_async)(bus, ret, sender, path, interface, member, match_callback,
                                                   add_callback, userdata);
}
int sd_bus_add_match(sd_bus* bus, sd_bus_slot** slot, const char* match, sd_bus_message_handler_t callback,
                     void* userdata) {
    return VSM_REQUIRED(sd_bus_add_match)(bus, slot, match, callback, userdata);
}
sd_bus_slot* sd_bus_slot_unref(sd_bus_slot* slot) {
    auto* function = table().sd_bus_slot_unref;
    return function ? function(slot) : nullptr;
}
int sd_bus_message_new_method_call(sd_bus* bus, sd_bus_message** m, const char* destination, const char* path,
                                   const char* interface, const char* member) {
    return VSM_REQUIRED(sd_bus_message_new_method_call)(bus, m, destination, path, interface, member);
}
sd_bus_message* sd_bus_message_ref(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_ref)(m); }
sd_bus_message* sd_bus_message_unref(sd_bus_message* m) {
    auto* function = table().sd_bus_message_unref;
    return function ? function(m) : nullptr;
}
int sd_bus_message_get_type(sd_bus_message* m, uint8_t* type) { return VSM_REQUIRED(sd_bus_message_get_type)(m, type); }
const char* sd_bus_message_get_path(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_get_path)(m); }
const char* sd_bus_message_get_member(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_get_member)(m); }
const sd_bus_error* sd_bus_message_get_error(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_get_error)(m); }
int sd_bus_message_is_signal(sd_bus_message* m, const char* interface, const char* member) {
    return VSM_REQUIRED(sd_bus_message_is_signal)(m, interface, member);
}
int sd_bus_message_is_method_error(sd_bus_message* m, const char* name) {
    return VSM_REQUIRED(sd_bus_message_is_method_error)(m, name);
}
int sd_bus_message_append(sd_bus_message* m, const char* types, ...) {
    const auto function = VSM_REQUIRED(sd_bus_message_appendv);
    va_list ap;
    va_start(ap, types);
    const int result = function(m, types, ap);
    va_end(ap);
    return result;
}
int sd_bus_message_appendv(sd_bus_message* m, const char* types, va_list ap) {
    return VSM_REQUIRED(sd_bus_message_appendv)(m, types, ap);
}
int sd_bus_message_append_basic(sd_bus_message* m, char type, const void* p) {
    return VSM_REQUIRED(sd_bus_message_append_basic)(m, type, p);
}
int sd_bus_message_append_strv(sd_bus_message* m, char** l) { return VSM_REQUIRED(sd_bus_message_append_strv)(m, l); }
int sd_bus_message_open_container(sd_bus_message* m, char type, const char* contents) {
    return VSM_REQUIRED(sd_bus_message_open_container)(m, type, contents);
}
int sd_bus_message_close_container(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_close_container)(m); }
int sd_bus_message_read(sd_bus_message* m, const char* types, ...) {
    const auto function = VSM_REQUIRED(sd_bus_message_readv);
    va_list ap;
    va_start(ap, types);
    const int result = function(m, types, ap);
    va_end(ap);
    return result;
}
int sd_bus_message_readv(sd_bus_message* m, const char* types, va_list ap) {
    return VSM_REQUIRED(sd_bus_message_readv)(m, types, ap);
}
int sd_bus_message_read_basic(sd_bus_message* m, char type, void* p) {
    return VSM_REQUIRED(sd_bus_message_read_basic)(m, type, p);
}
int sd_bus_message_read_array(sd_bus_message* m, char type, const void** ptr, size_t* size) {
    return VSM_REQUIRED(sd_bus_message_read_array)(m, type, ptr, size);
}
int sd_bus_message_read_strv(sd_bus_message* m, char*** l) { return VSM_REQUIRED(sd_bus_message_read_strv)(m, l); }
int sd_bus_message_skip(sd_bus_message* m, const char* types) { return VSM_REQUIRED(sd_bus_message_skip)(m, types); }
int sd_bus_message_enter_container(sd_bus_message* m, char type, const char* contents) {
    return VSM_REQUIRED(sd_bus_message_enter_container)(m, type, contents);
}
int sd_bus_message_exit_container(sd_bus_message* m) { return VSM_REQUIRED(sd_bus_message_exit_container)(m); }
int sd_bus_message_peek_type(sd_bus_message* m, char* type, const char** contents) {
    return VSM_REQUIRED(sd_bus_message_peek_type)(m, type, contents);
}
int sd_bus_message_verify_type(sd_bus_message* m, char type, const char* contents) {
    return VSM_REQUIRED(sd_bus_message_verify_type)(m, type, contents);
}
int sd_bus_message_at_end(sd_bus_message* m, int complete) { return VSM_REQUIRED(sd_bus_message_at_end)(m, complete); }
int sd_bus_message_rewind(sd_bus_message* m, int complete) { return VSM_REQUIRED(sd_bus_message_rewind)(m, complete); }
void sd_bus_error_free(sd_bus_error* e) {
    if (auto* function = table().sd_bus_error_free) function(e);
}
int sd_bus_error_set(sd_bus_error* e, const char* name, const char* message) {
    return VSM_REQUIRED(sd_bus_error_set)(e, name, message);
}
int sd_bus_error_setf(sd_bus_error* e, const char* name, const char* format, ...) {
    const auto function = VSM_REQUIRED(sd_bus_error_setfv);
    va_list ap;
    va_start(ap, format);
    const int result = function(e, name, format, ap);
    va_end(ap);
    return result;
}
int sd_bus_error_setfv(sd_bus_error* e, const char* name, const char* format, va_list ap) {
    return VSM_REQUIRED(sd_bus_error_setfv)(e, name, format, ap);
}
int sd_bus_error_set_const(sd_bus_error* e, const char* name, const char* message) {
    return VSM_REQUIRED(sd_bus_error_set_const)(e, name, message);
}
int sd_bus_error_set_errno(sd_bus_error* e, int error) { return VSM_REQUIRED(sd_bus_error_set_errno)(e, error); }
int sd_bus_error_set_errnof(sd_bus_error* e, int error, const char* format, ...) {
    const auto function = VSM_REQUIRED(sd_bus_error_set_errnofv);
    va_list ap;
    va_start(ap, format);
    const int result = function(e, error, format, ap);
    va_end(ap);
    return result;
}
int sd_bus_error_set_errnofv(sd_bus_error* e, int error, const char* format, va_list ap) {
    return VSM_REQUIRED(sd_bus_error_set_errnofv)(e, error, format, ap);
}
int sd_bus_error_copy(sd_bus_error* dest, const sd_bus_error* e) { return VSM_REQUIRED(sd_bus_error_copy)(dest, e); }
int sd_bus_error_get_errno(const sd_bus_error* e) { return VSM_REQUIRED(sd_bus_error_get_errno)(e); }
int sd_bus_error_has_name(const sd_bus_error* e, const char* name) {
    return VSM_REQUIRED(sd_bus_error_has_name)(e, name);
}
int sd_bus_error_is_set(const sd_bus_error* e) { return VSM_REQUIRED(sd_bus_error_is_set)(e); }
int sd_bus_path_encode(const char* prefix, const char* external_id, char** ret_path) {
    return VSM_REQUIRED(sd_bus_path_encode)(prefix, external_id, ret_path);
}
int sd_bus_path_decode(const char* path, const char* prefix, char** ret_external_id) {
    return VSM_REQUIRED(sd_bus_path_decode)(path, prefix, ret_external_id);
}

}  // extern "C"

#undef VSM_REQUIRED

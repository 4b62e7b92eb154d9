// The sd-bus functions the tray uses, taken from libsystemd.so.0 when it is first needed rather
// than linked: the agent then starts on systems without libsystemd (and serves without its icon).
// Each call forwards to the library's function; without the library every call fails with
// ELIBACC ("Can not access a needed shared library"), which the tray reports on one line.
//
// The variadic calls go through their va_list forms. Those of message replies, signals and
// asynchronous calls exist only in libsystemd 246 and later, so they are made here from the
// steps libsystemd itself takes, which older libraries (245 in Ubuntu 20.04) have too.

#include <dlfcn.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdarg>

#include "platform/env.h"

namespace {

// VELLORA_LIBSYSTEMD names another library to load: tests use it to stand for a system
// without libsystemd.
void* library() {
  static void* const handle = [] {
    const auto name = vellora::platform::get_env("VELLORA_LIBSYSTEMD");
    return ::dlopen(name ? name->text.c_str() : "libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  }();
  return handle;
}

template <typename F>
F* resolve(const char* name) {
  void* handle = library();
  return handle ? reinterpret_cast<F*>(::dlsym(handle, name)) : nullptr;
}

constexpr int MISSING = -ELIBACC;

}  // namespace

// The library's vtables carry the address of this number to tell their layout (systemd 242's).
extern "C" const unsigned sd_bus_object_vtable_format = 242;

#define VELLORA_REAL(name) static auto* const real = resolve<decltype(name)>(#name)

extern "C" {

int sd_bus_open_user(sd_bus** ret) {
  VELLORA_REAL(sd_bus_open_user);
  return real ? real(ret) : MISSING;
}

sd_bus* sd_bus_flush_close_unref(sd_bus* bus) {
  VELLORA_REAL(sd_bus_flush_close_unref);
  return real ? real(bus) : nullptr;
}

int sd_bus_process(sd_bus* bus, sd_bus_message** r) {
  VELLORA_REAL(sd_bus_process);
  return real ? real(bus, r) : MISSING;
}

int sd_bus_is_open(sd_bus* bus) {
  VELLORA_REAL(sd_bus_is_open);
  return real ? real(bus) : MISSING;
}

int sd_bus_message_is_method_error(sd_bus_message* m, const char* name) {
  VELLORA_REAL(sd_bus_message_is_method_error);
  return real ? real(m, name) : MISSING;
}

int sd_bus_request_name(sd_bus* bus, const char* name, uint64_t flags) {
  VELLORA_REAL(sd_bus_request_name);
  return real ? real(bus, name, flags) : MISSING;
}

int sd_bus_add_match(sd_bus* bus, sd_bus_slot** slot, const char* match,
                     sd_bus_message_handler_t callback, void* userdata) {
  VELLORA_REAL(sd_bus_add_match);
  return real ? real(bus, slot, match, callback, userdata) : MISSING;
}

int sd_bus_add_object_vtable(sd_bus* bus, sd_bus_slot** slot, const char* path,
                             const char* interface, const sd_bus_vtable* vtable, void* userdata) {
  VELLORA_REAL(sd_bus_add_object_vtable);
  return real ? real(bus, slot, path, interface, vtable, userdata) : MISSING;
}

sd_bus_slot* sd_bus_slot_unref(sd_bus_slot* slot) {
  VELLORA_REAL(sd_bus_slot_unref);
  return real ? real(slot) : nullptr;
}

int sd_bus_send(sd_bus* bus, sd_bus_message* m, uint64_t* cookie) {
  VELLORA_REAL(sd_bus_send);
  return real ? real(bus, m, cookie) : MISSING;
}

int sd_bus_call_async(sd_bus* bus, sd_bus_slot** slot, sd_bus_message* m,
                      sd_bus_message_handler_t callback, void* userdata, uint64_t usec) {
  VELLORA_REAL(sd_bus_call_async);
  return real ? real(bus, slot, m, callback, userdata, usec) : MISSING;
}

int sd_bus_error_set(sd_bus_error* e, const char* name, const char* message) {
  VELLORA_REAL(sd_bus_error_set);
  return real ? real(e, name, message) : MISSING;
}

int sd_bus_message_new_method_call(sd_bus* bus, sd_bus_message** m, const char* destination,
                                   const char* path, const char* interface, const char* member) {
  VELLORA_REAL(sd_bus_message_new_method_call);
  return real ? real(bus, m, destination, path, interface, member) : MISSING;
}

int sd_bus_message_new_method_return(sd_bus_message* call, sd_bus_message** m) {
  VELLORA_REAL(sd_bus_message_new_method_return);
  return real ? real(call, m) : MISSING;
}

int sd_bus_message_new_signal(sd_bus* bus, sd_bus_message** m, const char* path,
                              const char* interface, const char* member) {
  VELLORA_REAL(sd_bus_message_new_signal);
  return real ? real(bus, m, path, interface, member) : MISSING;
}

sd_bus_message* sd_bus_message_unref(sd_bus_message* m) {
  VELLORA_REAL(sd_bus_message_unref);
  return real ? real(m) : nullptr;
}

sd_bus* sd_bus_message_get_bus(sd_bus_message* m) {
  VELLORA_REAL(sd_bus_message_get_bus);
  return real ? real(m) : nullptr;
}

int sd_bus_message_appendv(sd_bus_message* m, const char* types, va_list ap) {
  VELLORA_REAL(sd_bus_message_appendv);
  return real ? real(m, types, ap) : MISSING;
}

int sd_bus_message_append_basic(sd_bus_message* m, char type, const void* p) {
  VELLORA_REAL(sd_bus_message_append_basic);
  return real ? real(m, type, p) : MISSING;
}

int sd_bus_message_append_array(sd_bus_message* m, char type, const void* ptr, size_t size) {
  VELLORA_REAL(sd_bus_message_append_array);
  return real ? real(m, type, ptr, size) : MISSING;
}

int sd_bus_message_open_container(sd_bus_message* m, char type, const char* contents) {
  VELLORA_REAL(sd_bus_message_open_container);
  return real ? real(m, type, contents) : MISSING;
}

int sd_bus_message_close_container(sd_bus_message* m) {
  VELLORA_REAL(sd_bus_message_close_container);
  return real ? real(m) : MISSING;
}

int sd_bus_message_readv(sd_bus_message* m, const char* types, va_list ap) {
  VELLORA_REAL(sd_bus_message_readv);
  return real ? real(m, types, ap) : MISSING;
}

int sd_bus_message_read_array(sd_bus_message* m, char type, const void** ptr, size_t* size) {
  VELLORA_REAL(sd_bus_message_read_array);
  return real ? real(m, type, ptr, size) : MISSING;
}

int sd_bus_message_read_strv(sd_bus_message* m, char*** l) {
  VELLORA_REAL(sd_bus_message_read_strv);
  return real ? real(m, l) : MISSING;
}

int sd_bus_message_skip(sd_bus_message* m, const char* types) {
  VELLORA_REAL(sd_bus_message_skip);
  return real ? real(m, types) : MISSING;
}

int sd_bus_message_enter_container(sd_bus_message* m, char type, const char* contents) {
  VELLORA_REAL(sd_bus_message_enter_container);
  return real ? real(m, type, contents) : MISSING;
}

int sd_bus_message_exit_container(sd_bus_message* m) {
  VELLORA_REAL(sd_bus_message_exit_container);
  return real ? real(m) : MISSING;
}

int sd_bus_message_append(sd_bus_message* m, const char* types, ...) {
  va_list ap;
  va_start(ap, types);
  const int r = sd_bus_message_appendv(m, types, ap);
  va_end(ap);
  return r;
}

int sd_bus_message_read(sd_bus_message* m, const char* types, ...) {
  va_list ap;
  va_start(ap, types);
  const int r = sd_bus_message_readv(m, types, ap);
  va_end(ap);
  return r;
}

int sd_bus_reply_method_return(sd_bus_message* call, const char* types, ...) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0 && types && *types) {
    va_list ap;
    va_start(ap, types);
    r = sd_bus_message_appendv(reply, types, ap);
    va_end(ap);
  }
  // A call sent without expecting a reply gets none: sd_bus_send knows it from the reply.
  if (r >= 0) r = sd_bus_send(sd_bus_message_get_bus(call), reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int sd_bus_emit_signal(sd_bus* bus, const char* path, const char* interface, const char* member,
                       const char* types, ...) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_signal(bus, &m, path, interface, member);
  if (r >= 0 && types && *types) {
    va_list ap;
    va_start(ap, types);
    r = sd_bus_message_appendv(m, types, ap);
    va_end(ap);
  }
  if (r >= 0) r = sd_bus_send(bus, m, nullptr);
  sd_bus_message_unref(m);
  return r;
}

int sd_bus_call_method_async(sd_bus* bus, sd_bus_slot** slot, const char* destination,
                             const char* path, const char* interface, const char* member,
                             sd_bus_message_handler_t callback, void* userdata, const char* types,
                             ...) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, destination, path, interface, member);
  if (r >= 0 && types && *types) {
    va_list ap;
    va_start(ap, types);
    r = sd_bus_message_appendv(m, types, ap);
    va_end(ap);
  }
  if (r >= 0) r = sd_bus_call_async(bus, slot, m, callback, userdata, 0);
  sd_bus_message_unref(m);
  return r;
}

}  // extern "C"

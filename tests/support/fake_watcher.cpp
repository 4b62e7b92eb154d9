// A stand-in for a desktop's StatusNotifierWatcher, for the tray tests: owns the watcher's name on
// the bus at argv[1] and appends each registered item's service name, one a line, to argv[2].

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char* record_path = nullptr;

int register_item(sd_bus_message* m, void*, sd_bus_error*) {
  const char* service = nullptr;
  const int r = sd_bus_message_read(m, "s", &service);
  if (r < 0) return r;
  if (std::FILE* f = std::fopen(record_path, "a")) {
    std::fprintf(f, "%s\n", service);
    std::fclose(f);
  }
  sd_bus_emit_signal(sd_bus_message_get_bus(m), "/StatusNotifierWatcher",
                     "org.kde.StatusNotifierWatcher", "StatusNotifierItemRegistered", "s", service);
  return sd_bus_reply_method_return(m, "");
}

int register_host(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply, void*,
             sd_bus_error*) {
  if (std::strcmp(name, "IsStatusNotifierHostRegistered") == 0)
    return sd_bus_message_append(reply, "b", 1);
  if (std::strcmp(name, "ProtocolVersion") == 0) return sd_bus_message_append(reply, "i", 0);
  return sd_bus_message_append(reply, "as", 0);
}

const sd_bus_vtable WATCHER_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", register_item, 0),
    SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", register_host, 0),
    SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", property, 0, 0),
    SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", property, 0, 0),
    SD_BUS_PROPERTY("ProtocolVersion", "i", property, 0, 0),
    SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fake_watcher BUS-ADDRESS RECORD-FILE\n");
    return 2;
  }
  record_path = argv[2];
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, argv[1]);
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r >= 0)
    r = sd_bus_add_object_vtable(bus, nullptr, "/StatusNotifierWatcher",
                                 "org.kde.StatusNotifierWatcher", WATCHER_VTABLE, nullptr);
  if (r >= 0) r = sd_bus_request_name(bus, "org.kde.StatusNotifierWatcher", 0);
  while (r >= 0) {
    r = sd_bus_process(bus, nullptr);
    if (r == 0) r = sd_bus_wait(bus, UINT64_MAX);
  }
  std::fprintf(stderr, "fake_watcher: %s\n", std::strerror(-r));
  return 1;
}

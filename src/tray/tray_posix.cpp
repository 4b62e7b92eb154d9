// The tray as a StatusNotifierItem (the icon, its tooltip and status) with its menu exported
// through com.canonical.dbusmenu, both on the session bus, driven by sd-bus without waiting.

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/env.h"
#include "tray/tray.h"

namespace vellora {
namespace {

constexpr const char* ITEM_PATH = "/StatusNotifierItem";
constexpr const char* ITEM_INTERFACE = "org.kde.StatusNotifierItem";
constexpr const char* MENU_PATH = "/MenuBar";
constexpr const char* MENU_INTERFACE = "com.canonical.dbusmenu";
constexpr const char* WATCHER = "org.kde.StatusNotifierWatcher";

using Clock = std::chrono::steady_clock;

// The pauses between attempts to reach a session bus that went away: doubled after each failure.
constexpr auto FIRST_RETRY = std::chrono::seconds(1);
constexpr auto LAST_RETRY = std::chrono::seconds(30);

int on_registered(sd_bus_message* reply, void* userdata, sd_bus_error*);

std::string error_text(int r) {
  return std::strerror(-r);
}

// dbusmenu labels mark access keys with "_"; a literal one is doubled.
std::string menu_label(std::string_view text) {
  std::string label;
  for (char c : text) {
    label += c;
    if (c == '_') label += '_';
  }
  return label;
}

}  // namespace

struct TrayIcon::Impl {
  sd_bus* bus = nullptr;
  sd_bus_slot* item_slot = nullptr;
  sd_bus_slot* menu_slot = nullptr;
  sd_bus_slot* watcher_slot = nullptr;
  std::string service;
  std::vector<MenuEntry> entries;
  std::string tooltip;
  IconImage image{};
  std::vector<int> clicks;
  TrayPresence presence = TrayPresence::pending;
  // While the bus is lost: when to try again, and the pause before the attempt after that.
  Clock::time_point retry_at;
  Clock::duration retry_pause = FIRST_RETRY;

  ~Impl() { disconnect(); }

  // The bus is null while no connection exists (between a loss and the next attempt).
  void disconnect() {
    watcher_slot = sd_bus_slot_unref(watcher_slot);
    menu_slot = sd_bus_slot_unref(menu_slot);
    item_slot = sd_bus_slot_unref(item_slot);
    if (bus) bus = sd_bus_flush_close_unref(bus);
  }

  MenuEntry* entry(int id) {
    auto it = std::find_if(entries.begin(), entries.end(), [id](auto& e) { return e.id == id; });
    return it == entries.end() ? nullptr : &*it;
  }

  // Asks the watcher to show the item; its answer sets the presence. Without a watcher the answer
  // is an error, and the item registers again when a watcher appears.
  void register_with_watcher() {
    sd_bus_call_method_async(bus, nullptr, WATCHER, "/StatusNotifierWatcher", WATCHER,
                             "RegisterStatusNotifierItem", on_registered, this, "s",
                             service.c_str());
  }
};

namespace {

using Impl = TrayIcon::Impl;

int on_registered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& impl = *static_cast<Impl*>(userdata);
  if (sd_bus_message_get_bus(reply) == impl.bus)
    impl.presence = sd_bus_message_is_method_error(reply, nullptr) ? TrayPresence::no_tray
                                                                   : TrayPresence::shown;
  return 0;
}

// ARGB32 in network byte order, as StatusNotifierItem hosts expect.
int append_pixmaps(sd_bus_message* m, const IconImage* image) {
  int r = sd_bus_message_open_container(m, 'a', "(iiay)");
  if (r < 0 || !image) return r < 0 ? r : sd_bus_message_close_container(m);
  std::vector<std::uint8_t> argb(image->size());
  for (std::size_t i = 0; i < image->size(); i += 4) {
    argb[i] = (*image)[i + 3];
    argb[i + 1] = (*image)[i];
    argb[i + 2] = (*image)[i + 1];
    argb[i + 3] = (*image)[i + 2];
  }
  if ((r = sd_bus_message_open_container(m, 'r', "iiay")) < 0) return r;
  if ((r = sd_bus_message_append(m, "ii", ICON_SIZE, ICON_SIZE)) < 0) return r;
  if ((r = sd_bus_message_append_array(m, 'y', argb.data(), argb.size())) < 0) return r;
  if ((r = sd_bus_message_close_container(m)) < 0) return r;
  return sd_bus_message_close_container(m);
}

int item_property(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                  void* userdata, sd_bus_error*) {
  auto& impl = *static_cast<Impl*>(userdata);
  const std::string_view name(property);
  if (name == "Category") return sd_bus_message_append(reply, "s", "ApplicationStatus");
  if (name == "Id") return sd_bus_message_append(reply, "s", "vellora-agent");
  if (name == "Title") return sd_bus_message_append(reply, "s", "Vellora agent");
  if (name == "Status") return sd_bus_message_append(reply, "s", "Active");
  if (name == "WindowId") return sd_bus_message_append(reply, "i", 0);
  if (name == "ItemIsMenu") return sd_bus_message_append(reply, "b", 1);
  if (name == "Menu") return sd_bus_message_append(reply, "o", MENU_PATH);
  if (name == "IconPixmap") return append_pixmaps(reply, &impl.image);
  if (name.ends_with("Pixmap")) return append_pixmaps(reply, nullptr);
  if (name == "ToolTip") {
    int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
    if (r >= 0) r = sd_bus_message_append(reply, "s", "");
    if (r >= 0) r = append_pixmaps(reply, nullptr);
    if (r >= 0) r = sd_bus_message_append(reply, "ss", impl.tooltip.c_str(), "");
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }
  return sd_bus_message_append(reply, "s", "");  // the icon, overlay and attention names
}

int ignore_call(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable ITEM_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("Id", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("Title", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("Status", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("WindowId", "i", item_property, 0, 0),
    SD_BUS_PROPERTY("IconName", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", item_property, 0, 0),
    SD_BUS_PROPERTY("OverlayIconName", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionIconName", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", item_property, 0, 0),
    SD_BUS_PROPERTY("AttentionMovieName", "s", item_property, 0, 0),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", item_property, 0, 0),
    SD_BUS_PROPERTY("ItemIsMenu", "b", item_property, 0, 0),
    SD_BUS_PROPERTY("Menu", "o", item_property, 0, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("Activate", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", ignore_call, 0),
    SD_BUS_METHOD("Scroll", "is", "", ignore_call, 0),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

// Property names asked for; empty means all.
using Names = std::vector<std::string>;

bool wanted(const Names& names, std::string_view key) {
  return names.empty() || std::find(names.begin(), names.end(), key) != names.end();
}

// Calls put(key, D-Bus type, pointer to the value) for each of an item's properties, stopping at
// the first negative result; id 0 (no entry) is the menu's root.
template <class Put>
int for_each_property(const MenuEntry* entry, Put put) {
  static const int yes = 1;
  int r = 0;
  if (!entry) {
    r = put("children-display", 's', "submenu");
  } else if (entry->separator) {
    r = put("type", 's', "separator");
  } else {
    const std::string label = menu_label(entry->text);
    const int enabled = entry->enabled ? 1 : 0;
    r = put("label", 's', label.c_str());
    if (r >= 0) r = put("enabled", 'b', &enabled);
  }
  if (r >= 0) r = put("visible", 'b', &yes);
  return r;
}

int append_variant(sd_bus_message* m, char type, const void* value) {
  const char contents[2] = {type, '\0'};
  int r = sd_bus_message_open_container(m, 'v', contents);
  if (r >= 0) r = sd_bus_message_append_basic(m, type, value);
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

// One item's "a{sv}", limited to `names` unless that is empty.
int append_item_properties(sd_bus_message* m, const MenuEntry* entry, const Names& names) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) {
    r = for_each_property(entry, [&](const char* key, char type, const void* value) {
      if (!wanted(names, key)) return 0;
      int q = sd_bus_message_open_container(m, 'e', "sv");
      if (q >= 0) q = sd_bus_message_append(m, "s", key);
      if (q >= 0) q = append_variant(m, type, value);
      if (q >= 0) q = sd_bus_message_close_container(m);
      return q;
    });
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

// One "(ia{sv}av)" layout node; the root's children are the entries when `depth` allows.
int append_layout(sd_bus_message* m, Impl& impl, const MenuEntry* entry, int depth,
                  const Names& names) {
  int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
  if (r >= 0) r = sd_bus_message_append(m, "i", entry ? entry->id : 0);
  if (r >= 0) r = append_item_properties(m, entry, names);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "v");
  if (!entry && depth != 0) {
    for (const MenuEntry& child : impl.entries) {
      if (r >= 0) r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
      if (r >= 0) r = append_layout(m, impl, &child, 0, names);
      if (r >= 0) r = sd_bus_message_close_container(m);
    }
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

int read_names(sd_bus_message* m, Names& names) {
  char** strv = nullptr;
  const int r = sd_bus_message_read_strv(m, &strv);
  if (r < 0) return r;
  for (char** s = strv; s && *s; ++s) {
    names.emplace_back(*s);
    std::free(*s);
  }
  std::free(strv);
  return 0;
}

int unknown_item(sd_bus_error* error) {
  return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "No such menu item");
}

int get_layout(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto& impl = *static_cast<Impl*>(userdata);
  int parent = 0, depth = 0;
  Names names;
  int r = sd_bus_message_read(m, "ii", &parent, &depth);
  if (r >= 0) r = read_names(m, names);
  if (r < 0) return r;
  const MenuEntry* entry = parent == 0 ? nullptr : impl.entry(parent);
  if (parent != 0 && !entry) return unknown_item(error);
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_append(reply, "u", 1u);
  if (r >= 0) r = append_layout(reply, impl, entry, depth, names);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int get_group_properties(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto& impl = *static_cast<Impl*>(userdata);
  const void* data = nullptr;
  std::size_t size = 0;
  Names names;
  int r = sd_bus_message_read_array(m, 'i', &data, &size);
  if (r >= 0) r = read_names(m, names);
  if (r < 0) return r;
  std::vector<int> ids(static_cast<const int*>(data), static_cast<const int*>(data) + size / 4);
  if (ids.empty())
    for (const auto& e : impl.entries) ids.push_back(e.id);
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
  for (const int id : ids) {
    const MenuEntry* entry = impl.entry(id);
    if (id != 0 && !entry) continue;
    if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
    if (r >= 0) r = sd_bus_message_append(reply, "i", id);
    if (r >= 0) r = append_item_properties(reply, entry, names);
    if (r >= 0) r = sd_bus_message_close_container(reply);
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int get_property(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto& impl = *static_cast<Impl*>(userdata);
  int id = 0;
  const char* name = nullptr;
  int r = sd_bus_message_read(m, "is", &id, &name);
  if (r < 0) return r;
  const MenuEntry* entry = impl.entry(id);
  if (id != 0 && !entry) return unknown_item(error);
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  bool found = false;
  if (r >= 0) {
    r = for_each_property(entry, [&](const char* key, char type, const void* value) {
      if (found || std::string_view(key) != name) return 0;
      found = true;
      return append_variant(reply, type, value);
    });
  }
  if (r >= 0 && found) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  if (r >= 0 && !found)
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "No such property");
  return r;
}

// A "clicked" event on an enabled entry becomes a click for the loop; other events are ignored.
bool take_event(Impl& impl, int id, std::string_view event) {
  MenuEntry* entry = impl.entry(id);
  if (id != 0 && !entry) return false;
  if (event == "clicked" && entry && entry->enabled && !entry->separator) impl.clicks.push_back(id);
  return true;
}

int event(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  int id = 0;
  const char* name = nullptr;
  int r = sd_bus_message_read(m, "is", &id, &name);
  if (r >= 0) r = sd_bus_message_skip(m, "vu");
  if (r < 0) return r;
  if (!take_event(*static_cast<Impl*>(userdata), id, name)) return unknown_item(error);
  return sd_bus_reply_method_return(m, "");
}

int event_group(sd_bus_message* m, void* userdata, sd_bus_error*) {
  std::vector<int> errors;
  int r = sd_bus_message_enter_container(m, 'a', "(isvu)");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
    int id = 0;
    const char* name = nullptr;
    r = sd_bus_message_read(m, "is", &id, &name);
    if (r >= 0) r = sd_bus_message_skip(m, "vu");
    if (r >= 0 && !take_event(*static_cast<Impl*>(userdata), id, name)) errors.push_back(id);
    if (r >= 0) r = sd_bus_message_exit_container(m);
  }
  if (r < 0) return r;
  sd_bus_message* reply = nullptr;
  r = sd_bus_message_new_method_return(m, &reply);
  if (r >= 0) r = sd_bus_message_append_array(reply, 'i', errors.data(), errors.size() * 4);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int about_to_show(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "b", 0);
}

int about_to_show_group(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "aiai", 0, 0);
}

int menu_property(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                  void*, sd_bus_error*) {
  const std::string_view name(property);
  if (name == "Version") return sd_bus_message_append(reply, "u", 3u);
  if (name == "TextDirection") return sd_bus_message_append(reply, "s", "ltr");
  if (name == "Status") return sd_bus_message_append(reply, "s", "normal");
  return sd_bus_message_append(reply, "as", 0);  // IconThemePath
}

const sd_bus_vtable MENU_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", get_layout, 0),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", get_group_properties, 0),
    SD_BUS_METHOD("GetProperty", "is", "v", get_property, 0),
    SD_BUS_METHOD("Event", "isvu", "", event, 0),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", event_group, 0),
    SD_BUS_METHOD("AboutToShow", "i", "b", about_to_show, 0),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", about_to_show_group, 0),
    SD_BUS_PROPERTY("Version", "u", menu_property, 0, 0),
    SD_BUS_PROPERTY("TextDirection", "s", menu_property, 0, 0),
    SD_BUS_PROPERTY("Status", "s", menu_property, 0, 0),
    SD_BUS_PROPERTY("IconThemePath", "as", menu_property, 0, 0),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

// Desktops often start after the agent: whenever a watcher takes its name, register with it.
// When the watcher goes (its desktop ended or restarts), nothing shows the item.
int on_watcher_owner(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto& impl = *static_cast<Impl*>(userdata);
  const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
  if (new_owner && *new_owner) {
    impl.register_with_watcher();
  } else {
    impl.presence = TrayPresence::no_tray;
  }
  return 0;
}

std::expected<void, TrayError> connect(Impl& impl) {
  if (!platform::get_env("DBUS_SESSION_BUS_ADDRESS") && !platform::get_env("XDG_RUNTIME_DIR"))
    return std::unexpected(
        TrayError{false, "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"});
  int r = sd_bus_open_user(&impl.bus);
  if (r < 0)
    return std::unexpected(
        TrayError{false, "could not connect to the session bus: " + error_text(r)});
  r = sd_bus_add_object_vtable(impl.bus, &impl.menu_slot, MENU_PATH, MENU_INTERFACE, MENU_VTABLE,
                               &impl);
  if (r < 0) return std::unexpected(TrayError{true, error_text(r)});
  r = sd_bus_add_object_vtable(impl.bus, &impl.item_slot, ITEM_PATH, ITEM_INTERFACE, ITEM_VTABLE,
                               &impl);
  if (r >= 0) {
    impl.service = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
    r = sd_bus_request_name(impl.bus, impl.service.c_str(), 0);
  }
  if (r >= 0) {
    const std::string match = std::string(
                                  "type='signal',sender='org.freedesktop.DBus',interface='org."
                                  "freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                              WATCHER + "'";
    r = sd_bus_add_match(impl.bus, &impl.watcher_slot, match.c_str(), on_watcher_owner, &impl);
  }
  if (r < 0) return std::unexpected(TrayError{false, "session bus: " + error_text(r)});
  impl.register_with_watcher();
  return {};
}

void emit(Impl& impl, const char* signal) {
  if (impl.bus) sd_bus_emit_signal(impl.bus, ITEM_PATH, ITEM_INTERFACE, signal, nullptr);
}

// The session bus went away (it restarts, or the session ended): the item is offered again on a
// new connection, tried after a pause that grows up to LAST_RETRY while no bus answers.
void lose_connection(Impl& impl) {
  impl.disconnect();
  impl.presence = TrayPresence::reconnecting;
  impl.retry_pause = FIRST_RETRY;
  impl.retry_at = Clock::now() + impl.retry_pause;
}

void reconnect(Impl& impl) {
  if (connect(impl)) {
    impl.presence = TrayPresence::pending;
    return;
  }
  impl.disconnect();
  impl.retry_pause = std::min<Clock::duration>(impl.retry_pause * 2, LAST_RETRY);
  impl.retry_at = Clock::now() + impl.retry_pause;
}

}  // namespace

std::expected<std::unique_ptr<TrayIcon>, TrayError> TrayIcon::create(
    const std::vector<MenuEntry>& menu, const std::string& tooltip, const IconImage& image) {
  auto impl = std::make_unique<Impl>();
  impl->entries = menu;
  impl->tooltip = tooltip;
  impl->image = image;
  if (auto connected = connect(*impl); !connected) return std::unexpected(connected.error());
  return std::unique_ptr<TrayIcon>(new TrayIcon(std::move(impl)));
}

TrayIcon::TrayIcon(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TrayIcon::~TrayIcon() = default;

void TrayIcon::set_image(const IconImage& image) {
  impl_->image = image;
  emit(*impl_, "NewIcon");
}

void TrayIcon::set_tooltip(const std::string& tooltip) {
  if (impl_->tooltip == tooltip) return;
  impl_->tooltip = tooltip;
  emit(*impl_, "NewToolTip");
}

void TrayIcon::set_item(int id, const std::string& text, bool enabled) {
  MenuEntry* entry = impl_->entry(id);
  if (!entry || (entry->text == text && entry->enabled == enabled)) return;
  entry->text = text;
  entry->enabled = enabled;
  if (!impl_->bus) return;
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_signal(impl_->bus, &m, MENU_PATH, MENU_INTERFACE,
                                    "ItemsPropertiesUpdated");
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ia{sv})");
  if (r >= 0) r = sd_bus_message_open_container(m, 'r', "ia{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "i", id);
  if (r >= 0) r = append_item_properties(m, entry, {});
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_append(m, "a(ias)", 0);
  if (r >= 0) sd_bus_send(impl_->bus, m, nullptr);
  sd_bus_message_unref(m);
}

void TrayIcon::pump() {
  Impl& impl = *impl_;
  if (impl.bus) {
    int r = 0;
    while ((r = sd_bus_process(impl.bus, nullptr)) > 0) {
    }
    if (r < 0 || sd_bus_is_open(impl.bus) <= 0) lose_connection(impl);
  } else if (Clock::now() >= impl.retry_at) {
    reconnect(impl);
  }
}

std::vector<int> TrayIcon::take_clicks() {
  return std::exchange(impl_->clicks, {});
}

TrayPresence TrayIcon::presence() const {
  return impl_->presence;
}

}  // namespace vellora

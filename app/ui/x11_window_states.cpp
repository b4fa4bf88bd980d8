#include "app/ui/x11_window_states.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace talvo::X11WindowStates {
namespace {

xcb_connection_t* connection() {
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  if (!reply) return XCB_ATOM_NONE;
  const xcb_atom_t result = reply->atom;
  std::free(reply);
  return result;
}

// Adds `events` to what this client hears from `root`, keeping what it (Qt) already asked for.
void listenOnRoot(xcb_connection_t* c, xcb_window_t root, uint32_t events) {
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr);
  if (!attributes) return;
  const uint32_t mask = attributes->your_event_mask | events;
  std::free(attributes);
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
}

}  // namespace

void markAsPanel(QWidget* window) {
  xcb_connection_t* c = connection();
  if (!c || !window) return;
  const auto id = static_cast<xcb_window_t>(window->winId());
  std::vector<xcb_atom_t> states;
  for (const char* name :
       {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY"}) {
    if (xcb_atom_t a = atom(c, name); a != XCB_ATOM_NONE) states.push_back(a);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                      static_cast<uint32_t>(states.size()), states.data());
  const uint32_t allDesktops = 0xFFFFFFFF;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
  xcb_flush(c);
}

void markStartup(QWidget* window, const QByteArray& startupId) {
  xcb_connection_t* c = connection();
  if (!c || !window || startupId.isEmpty()) return;
  const auto id = static_cast<xcb_window_t>(window->winId());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_STARTUP_ID"), atom(c, "UTF8_STRING"), 8,
                      static_cast<uint32_t>(startupId.size()), startupId.constData());
  xcb_flush(c);
}

void completeStartup(QWidget* window, const QByteArray& startupId) {
  xcb_connection_t* c = connection();
  if (!c || !window || startupId.isEmpty()) return;
  // The startup-notification protocol: "remove: ID=..." to the root window, NUL-terminated, in
  // client messages of 20 bytes each, the first of type _NET_STARTUP_INFO_BEGIN.
  QByteArray value = startupId;
  if (value.contains(' ') || value.contains('"') || value.contains('\\')) {
    value.replace("\\", "\\\\").replace("\"", "\\\"");
    value = '"' + value + '"';
  }
  QByteArray message = "remove: ID=" + value;
  message.append('\0');
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_atom_t begin = atom(c, "_NET_STARTUP_INFO_BEGIN");
  const xcb_atom_t more = atom(c, "_NET_STARTUP_INFO");
  for (qsizetype at = 0; at < message.size(); at += 20) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 8;
    event.window = static_cast<xcb_window_t>(window->winId());
    event.type = at == 0 ? begin : more;
    std::memcpy(event.data.data8, message.constData() + at, std::min<qsizetype>(20, message.size() - at));
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&event));
  }
  xcb_flush(c);
}

bool compositing() {
  xcb_connection_t* c = connection();
  if (!c) return true;
  xcb_get_selection_owner_reply_t* reply =
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom(c, "_NET_WM_CM_S0")), nullptr);
  if (!reply) return false;
  const bool owned = reply->owner != XCB_NONE;
  std::free(reply);
  return owned;
}

namespace {

xcb_window_t systemTrayOwner(xcb_connection_t* c) {
  // The program's windows live on the display's first screen, as Qt opens it. Asked at every
  // change of the tray: the atom is looked up once.
  static const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S0");
  xcb_get_selection_owner_reply_t* reply =
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
  if (!reply) return XCB_NONE;
  const xcb_window_t owner = reply->owner;
  std::free(reply);
  return owner;
}

}  // namespace

uint32_t systemTray() {
  xcb_connection_t* c = connection();
  return c ? systemTrayOwner(c) : XCB_NONE;
}

std::optional<std::array<uint16_t, 3>> systemTrayForeground() {
  xcb_connection_t* c = connection();
  if (!c) return std::nullopt;
  const xcb_window_t owner = systemTrayOwner(c);
  if (owner == XCB_NONE) return std::nullopt;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      c, xcb_get_property(c, 0, owner, atom(c, "_NET_SYSTEM_TRAY_COLORS"), XCB_ATOM_CARDINAL, 0, 12), nullptr);
  if (!reply) return std::nullopt;
  std::optional<std::array<uint16_t, 3>> result;
  // Twelve cardinals: foreground, error, warning and success colours, each red, green, blue.
  if (reply->format == 32 && xcb_get_property_value_length(reply) >= 12) {
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(reply));
    result = std::array<uint16_t, 3>{uint16_t(v[0]), uint16_t(v[1]), uint16_t(v[2])};
  }
  std::free(reply);
  return result;
}

namespace {

class DesktopSwitchWatcher : public QAbstractNativeEventFilter {
 public:
  DesktopSwitchWatcher(xcb_connection_t* c, std::function<void()> changed)
      : connection_(c),
        root_(xcb_setup_roots_iterator(xcb_get_setup(c)).data->root),
        currentDesktop_(atom(c, "_NET_CURRENT_DESKTOP")),
        changed_(std::move(changed)) {
    desktop_ = readDesktop();
    // Qt already listens to the root window's property changes; make sure of it anyway.
    listenOnRoot(c, root_, XCB_EVENT_MASK_PROPERTY_CHANGE);
    qApp->installNativeEventFilter(this);
  }
  ~DesktopSwitchWatcher() override { qApp->removeNativeEventFilter(this); }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_PROPERTY_NOTIFY) return false;
    auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
    if (property->window != root_ || property->atom != currentDesktop_ || currentDesktop_ == XCB_ATOM_NONE) {
      return false;
    }
    // Any write of the property notifies, also one that writes the same number again; only a
    // real switch counts.
    const std::optional<uint32_t> desktop = readDesktop();
    if (desktop != desktop_) {
      desktop_ = desktop;
      changed_();
    }
    return false;
  }

 private:
  std::optional<uint32_t> readDesktop() const {
    if (currentDesktop_ == XCB_ATOM_NONE) return std::nullopt;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, root_, currentDesktop_, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    if (!reply) return std::nullopt;
    std::optional<uint32_t> desktop;
    if (reply->format == 32 && xcb_get_property_value_length(reply) >= 4) {
      desktop = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
    }
    std::free(reply);
    return desktop;
  }

  xcb_connection_t* connection_;
  std::optional<uint32_t> desktop_;
  xcb_window_t root_;
  xcb_atom_t currentDesktop_;
  std::function<void()> changed_;
};

// A tray that starts announces itself with a MANAGER client message on the root window (the
// system tray protocol), which Qt's own tray code asks the root window for.
// A tray that starts announces itself with a MANAGER message on the root window; one that ends
// only drops its selection, which XFixes reports (as it reports a new owner), so both are heard
// as they happen instead of by asking the server again and again.
class TrayManagerWatcher : public QAbstractNativeEventFilter {
 public:
  TrayManagerWatcher(xcb_connection_t* c, std::function<void()> changed)
      : manager_(atom(c, "MANAGER")), selection_(atom(c, "_NET_SYSTEM_TRAY_S0")), changed_(std::move(changed)) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    listenOnRoot(c, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (fixes && fixes->present) {
      // Qt settled the version for its clipboard already; a client must ask before it selects.
      std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
      fixesNotify_ = fixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
      xcb_xfixes_select_selection_input(c, root, selection_,
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                            XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                            XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
      xcb_flush(c);
    }
    qApp->installNativeEventFilter(this);
  }
  ~TrayManagerWatcher() override { qApp->removeNativeEventFilter(this); }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const int kind = event->response_type & ~0x80;
    if (kind == XCB_CLIENT_MESSAGE) {
      auto* client = reinterpret_cast<xcb_client_message_event_t*>(event);
      if (client->type == manager_ && client->format == 32 && client->data.data32[1] == selection_) changed_();
    } else if (fixesNotify_ && kind == fixesNotify_) {
      if (reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event)->selection == selection_) changed_();
    }
    return false;
  }

 private:
  xcb_atom_t manager_;
  xcb_atom_t selection_;
  int fixesNotify_ = 0;
  std::function<void()> changed_;
};

// XInput 2 raw button events, selected on the root window, reach every client that asked for
// them whatever window was clicked and whoever grabs the pointer (XI 2.1 and later), and take
// nothing from the window clicked. They come on a connection of their own, so the selection
// cannot disturb the one Qt makes on its connection.
class PointerPressWatcher : public QObject {
 public:
  PointerPressWatcher(xcb_connection_t* c, uint8_t opcode, std::function<void()> pressed)
      : connection_(c),
        opcode_(opcode),
        pressed_(std::move(pressed)),
        notifier_(xcb_get_file_descriptor(c), QSocketNotifier::Read) {
    connect(&notifier_, &QSocketNotifier::activated, this, &PointerPressWatcher::drain);
    drain();
  }
  ~PointerPressWatcher() override {
    notifier_.setEnabled(false);  // before its descriptor closes
    xcb_disconnect(connection_);
  }

  // Null when the X server lacks XInput 2.2.
  static std::unique_ptr<PointerPressWatcher> open(std::function<void()> pressed) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
      xcb_disconnect(c);
      return nullptr;
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_input_id);
    xcb_input_xi_query_version_reply_t* version =
        extension && extension->present
            ? xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr)
            : nullptr;
    const bool usable =
        version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 2));
    std::free(version);
    if (!usable) {
      xcb_disconnect(c);
      return nullptr;
    }
    struct {
      xcb_input_event_mask_t head;
      uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_generic_error_t* error = xcb_request_check(c, xcb_input_xi_select_events_checked(c, root, 1, &mask.head));
    if (error) {
      std::free(error);
      xcb_disconnect(c);
      return nullptr;
    }
    return std::make_unique<PointerPressWatcher>(c, extension->major_opcode, std::move(pressed));
  }

 private:
  void drain() {
    bool pressed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      if ((event->response_type & ~0x80) == XCB_GE_GENERIC) {
        auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
        if (generic->extension == opcode_ && generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
          // Left and right only: the middle button pastes, the wheel scrolls (4 to 7).
          const uint32_t button = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event)->detail;
          pressed = pressed || button == 1 || button == 3;
        }
      }
      std::free(event);
    }
    if (xcb_connection_has_error(connection_)) notifier_.setEnabled(false);  // the server went away
    if (pressed) pressed_();
  }

  xcb_connection_t* connection_;
  uint8_t opcode_;
  std::function<void()> pressed_;
  QSocketNotifier notifier_;
};

}  // namespace

std::unique_ptr<QObject> watchPointerPresses(std::function<void()> pressed) {
  if (!connection()) return nullptr;  // not on X11
  return PointerPressWatcher::open(std::move(pressed));
}

std::unique_ptr<QAbstractNativeEventFilter> watchTray(std::function<void()> changed) {
  xcb_connection_t* c = connection();
  if (!c) return nullptr;
  return std::make_unique<TrayManagerWatcher>(c, std::move(changed));
}

std::unique_ptr<QAbstractNativeEventFilter> watchDesktopSwitch(std::function<void()> changed) {
  xcb_connection_t* c = connection();
  if (!c) return nullptr;
  return std::make_unique<DesktopSwitchWatcher>(c, std::move(changed));
}

}  // namespace talvo::X11WindowStates

#include "app/ui/x11_window_states.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
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

}  // namespace

void markAsPanel(QWidget* window) {
  xcb_connection_t* c = connection();
  if (!c || !window) return;
  const auto id = static_cast<xcb_window_t>(window->winId());
  std::vector<xcb_atom_t> states;
  for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE",
                           "_NET_WM_STATE_STICKY"}) {
    if (xcb_atom_t a = atom(c, name); a != XCB_ATOM_NONE) states.push_back(a);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                      static_cast<uint32_t>(states.size()), states.data());
  const uint32_t allDesktops = 0xFFFFFFFF;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                      &allDesktops);
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

}  // namespace talvo::X11WindowStates

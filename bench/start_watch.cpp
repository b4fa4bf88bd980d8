// Times a program's start from the X server's side, to the event: its tray icon docked (a window
// of at most 64x64 mapped inside another window, the tray's) and its panel or window shown (a
// larger window mapped). Unlike polling with a process per look, it adds nothing to what it
// measures, whatever the program's windows.
//   talvo-bench-start-watch     prints "ready" once it hears the display, then reads
//                               "PID SPAWN" (SPAWN: CLOCK_MONOTONIC seconds) and prints
//                               "icon MS panel MS" from the spawn, or exits 1 after 20 s.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Shown {
  double at;
  uint32_t pid;
  bool small;
  bool embedded;
};

class Display {
 public:
  Display() : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_)) {
      std::fprintf(stderr, "no display\n");
      std::exit(1);
    }
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    pidAtom_ = atom("_NET_WM_PID");
    listen(root_, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
    xcb_flush(connection_);
  }
  ~Display() { xcb_disconnect(connection_); }

  int fd() const { return xcb_get_file_descriptor(connection_); }

  // Every window mapped since the start, with when, whose and where.
  void drain(std::vector<Shown>& shown) {
    while (auto* event = xcb_poll_for_event(connection_)) {
      const double at = now();
      switch (event->response_type & 0x7f) {
        case XCB_CREATE_NOTIFY: {
          // A new top-level window: its own map, wherever a tray or frame moves it.
          const auto window = reinterpret_cast<xcb_create_notify_event_t*>(event)->window;
          listen(window, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
          auto reply = std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&free)>(
              xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window), nullptr),
              &free);
          if (reply && reply->map_state != XCB_MAP_STATE_UNMAPPED) record(window, at, shown);
          break;
        }
        case XCB_MAP_NOTIFY: {
          const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
          if (map->event == map->window) record(map->window, at, shown);  // once per window
          break;
        }
        default:
          break;
      }
      free(event);
    }
    xcb_flush(connection_);
  }

 private:
  void listen(xcb_window_t window, uint32_t mask) {
    xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &mask);
  }

  xcb_atom_t atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 1, std::strlen(name), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return value;
  }

  void record(xcb_window_t window, double at, std::vector<Shown>& shown) {
    auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
    auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr);
    auto* pid = xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    if (geometry && tree && pid && xcb_get_property_value_length(pid) == 4) {
      shown.push_back({at, *static_cast<uint32_t*>(xcb_get_property_value(pid)),
                       geometry->width <= 64 && geometry->height <= 64, tree->parent != root_});
    }
    free(geometry);
    free(tree);
    free(pid);
  }

  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  xcb_atom_t pidAtom_ = 0;
};

}  // namespace

int main() {
  Display display;
  std::vector<Shown> shown;
  std::printf("ready\n");
  std::fflush(stdout);
  // Events are stamped as they arrive, so the display is heard while the launcher spawns.
  std::string line;
  unsigned pid = 0;
  double spawn = 0;
  const double deadline = now() + 20;
  while (now() < deadline) {
    pollfd wait[2] = {{display.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    poll(wait, pid == 0 ? 2 : 1, 50);
    display.drain(shown);
    if (pid == 0 && (wait[1].revents & (POLLIN | POLLHUP)) != 0) {
      char buffer[64];
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) return 1;
      line.append(buffer, static_cast<size_t>(got));
      if (line.find('\n') != std::string::npos && std::sscanf(line.c_str(), "%u %lf", &pid, &spawn) != 2) return 1;
    }
    double icon = -1, panel = -1;
    for (const Shown& s : shown) {
      if (pid == 0 || s.pid != pid) continue;
      if (s.small && s.embedded && icon < 0) icon = s.at;
      if (!s.small && panel < 0) panel = s.at;
    }
    if (icon >= 0 && panel >= 0) {
      std::printf("icon %.1f panel %.1f\n", (icon - spawn) * 1000, (panel - spawn) * 1000);
      return 0;
    }
  }
  return 1;
}

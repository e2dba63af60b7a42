// The only file that speaks X11: builds without libxcb compile no_x11_frontmost_source.cpp instead.
#include "platform/workspace/x11_frontmost_source.hpp"

#include "platform/workspace/wake_descriptor.hpp"

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace platform::workspace {

namespace {

struct FreeWithCFree {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using CPointer = std::unique_ptr<T, FreeWithCFree>;

struct Disconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

std::optional<xcb_atom_t> internAtom(xcb_connection_t* connection, const char* name) {
  const auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  const CPointer<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
  if (!reply || reply->atom == XCB_ATOM_NONE) return std::nullopt;
  return reply->atom;
}

// One 32-bit value of the given type, or none when the window or the property is gone, or the
// property holds anything else.
std::optional<std::uint32_t> readProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                                          xcb_atom_t type) {
  const auto cookie = xcb_get_property(connection, 0, window, property, type, 0, 1);
  xcb_generic_error_t* rawError = nullptr;
  const CPointer<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, &rawError));
  const CPointer<xcb_generic_error_t> error(rawError);
  if (!reply || reply->type != type || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
  return value;
}

class X11FrontmostSource final : public FrontmostProcessSource {
public:
  X11FrontmostSource(std::string display, Activated activated)
      : display_(std::move(display)), activated_(std::move(activated)) {
    // Without its wake descriptor the thread could never be stopped: then nothing is read.
    if (wake_.isOpen()) thread_ = std::thread([this] { run(); });
  }

  ~X11FrontmostSource() override {
    if (!thread_.joinable()) return;
    wake_.signal();
    thread_.join();
  }

  X11FrontmostSource(const X11FrontmostSource&) = delete;
  X11FrontmostSource& operator=(const X11FrontmostSource&) = delete;

  std::optional<pid_t> frontmostProcess() const override {
    const auto processIdentifier = frontmost_.load();
    if (processIdentifier <= 0) return std::nullopt;
    return processIdentifier;
  }

private:
  struct Display {
    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_atom_t activeWindow;
    xcb_atom_t windowProcess;
  };

  void run() {
    int screenNumber = 0;
    const Connection connection(xcb_connect(display_.c_str(), &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get())) return;
    // Children that the app starts must not inherit the display's socket.
    ::fcntl(xcb_get_file_descriptor(connection.get()), F_SETFD, FD_CLOEXEC);
    const auto display = open(connection.get(), screenNumber);
    if (!display) return;
    watch(*display);
    frontmost_.store(0);
  }

  static std::optional<Display> open(xcb_connection_t* connection, int screenNumber) {
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int index = 0; index < screenNumber && screens.rem > 0; ++index) {
      xcb_screen_next(&screens);
    }
    if (screens.rem <= 0) return std::nullopt;
    const auto activeWindow = internAtom(connection, "_NET_ACTIVE_WINDOW");
    const auto windowProcess = internAtom(connection, "_NET_WM_PID");
    if (!activeWindow || !windowProcess) return std::nullopt;
    const Display display{connection, screens.data->root, *activeWindow, *windowProcess};
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection, display.root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    return display;
  }

  // Replies read the socket too and may leave events queued, so the queue is drained before
  // every wait, and read again after every update.
  void watch(const Display& display) {
    update(display);
    for (;;) {
      bool activeWindowChanged = false;
      while (const CPointer<xcb_generic_event_t> event{xcb_poll_for_event(display.connection)}) {
        activeWindowChanged |= isActiveWindowChange(display, *event);
      }
      if (xcb_connection_has_error(display.connection)) return;
      if (activeWindowChanged) {
        update(display);
        continue;
      }
      std::array<pollfd, 2> descriptors{pollfd{xcb_get_file_descriptor(display.connection), POLLIN, 0},
                                        pollfd{wake_.get(), POLLIN, 0}};
      if (::poll(descriptors.data(), descriptors.size(), -1) < 0 && errno != EINTR) return;
      if (descriptors[1].revents != 0) return;
    }
  }

  static bool isActiveWindowChange(const Display& display, const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(event);
    return notify.window == display.root && notify.atom == display.activeWindow;
  }

  // The process is what the window says of itself: X11 offers no more without an extension.
  void update(const Display& display) {
    pid_t processIdentifier = 0;
    const auto window = readProperty(display.connection, display.root, display.activeWindow, XCB_ATOM_WINDOW);
    if (window && *window != XCB_WINDOW_NONE) {
      const auto declared = readProperty(display.connection, *window, display.windowProcess, XCB_ATOM_CARDINAL);
      if (declared && *declared > 0 && *declared <= static_cast<std::uint32_t>(INT_MAX)) {
        processIdentifier = static_cast<pid_t>(*declared);
      }
    }
    const auto previous = frontmost_.exchange(processIdentifier);
    if (processIdentifier > 0 && processIdentifier != previous) activated_(processIdentifier);
  }

  std::string display_;
  Activated activated_;
  WakeDescriptor wake_;
  std::atomic<pid_t> frontmost_{0};
  std::thread thread_;
};

}  // namespace

bool readsX11Displays() { return true; }

std::unique_ptr<FrontmostProcessSource> openX11FrontmostSource(std::string display, FrontmostProcessSource::Activated activated) {
  return std::make_unique<X11FrontmostSource>(std::move(display), std::move(activated));
}

}  // namespace platform::workspace

// The only file that speaks D-Bus: builds without libsystemd compile no_logind_session_source.cpp
// instead.
#include "platform/workspace/logind_session_source.hpp"

#include "platform/workspace/wake_descriptor.hpp"

#include <systemd/sd-bus.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace platform::workspace {

namespace {

constexpr const char* loginService = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* busDriver = "org.freedesktop.DBus";
constexpr const char* busDriverPath = "/org/freedesktop/DBus";

// Closing does not flush: what is still unsent when the source stops no longer matters, and a
// flush could wait on a peer.
struct CloseBus {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, CloseBus>;

// Dropping a slot removes its match or forgets its pending call, whose reply then goes nowhere.
struct UnrefSlot {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, UnrefSlot>;

bool hasSignature(sd_bus_message* message, const char* signature) {
  return sd_bus_message_has_signature(message, signature) > 0;
}

bool isFrom(sd_bus_message* message, const std::string& sender) {
  const char* actual = sd_bus_message_get_sender(message);
  return actual != nullptr && !sender.empty() && sender == actual;
}

std::optional<bool> readBoolean(sd_bus_message* message) {
  int value = 0;
  if (!hasSignature(message, "b") || sd_bus_message_read(message, "b", &value) < 0) return std::nullopt;
  return value != 0;
}

// What a PropertiesChanged signal says of the session's Active property: its new value, or that
// it changed without saying to what. None when the message is not the signal it claims to be.
struct ActiveChange {
  std::optional<bool> active;
  bool invalidated = false;
};

bool readChangedProperties(sd_bus_message* message, ActiveChange& change) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
  for (;;) {
    const int entered = sd_bus_message_enter_container(message, 'e', "sv");
    if (entered < 0) return false;
    if (entered == 0) break;
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0) return false;
    if (std::strcmp(name, "Active") == 0) {
      int value = 0;
      if (sd_bus_message_read(message, "v", "b", &value) < 0) return false;
      change.active = value != 0;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return sd_bus_message_exit_container(message) >= 0;
}

bool readInvalidatedProperties(sd_bus_message* message, ActiveChange& change) {
  if (sd_bus_message_enter_container(message, 'a', "s") < 0) return false;
  for (;;) {
    const char* name = nullptr;
    const int read = sd_bus_message_read(message, "s", &name);
    if (read < 0) return false;
    if (read == 0) break;
    change.invalidated |= std::strcmp(name, "Active") == 0;
  }
  return sd_bus_message_exit_container(message) >= 0;
}

std::optional<ActiveChange> readActiveChange(sd_bus_message* message) {
  const char* interface = nullptr;
  if (!hasSignature(message, "sa{sv}as") || sd_bus_message_read(message, "s", &interface) < 0) return std::nullopt;
  ActiveChange change;
  if (std::strcmp(interface, sessionInterface) != 0) return change;
  if (!readChangedProperties(message, change) || !readInvalidatedProperties(message, change)) return std::nullopt;
  return change;
}

// A unique connection name, as the bus driver gives it (":1.42"); anything else would make a match
// rule of another shape.
bool isUniqueName(const char* name) {
  if (name == nullptr || name[0] != ':' || name[1] == '\0') return false;
  for (const char* character = name + 1; *character != '\0'; ++character) {
    const bool allowed = (*character >= '0' && *character <= '9') || (*character >= 'a' && *character <= 'z') ||
                         (*character >= 'A' && *character <= 'Z') || *character == '.' || *character == '_' ||
                         *character == '-';
    if (!allowed) return false;
  }
  return true;
}

// What the source follows on one connection. Every handler runs on the source's thread, inside
// sd_bus_process. The login manager is addressed by the unique name that owns its well-known one,
// and every message is checked to come from that name: any peer may send a signal in the manager's
// form, to everyone or straight to this connection. The matches name the owner too, so the bus
// forwards no one else's broadcasts; the handlers check again so as not to rely on how the match
// was made.
class LoginManagerWatch {
public:
  LoginManagerWatch(sd_bus* bus, const SessionEventSource::Reported& reported) : bus_(bus), reported_(reported) {}

  LoginManagerWatch(const LoginManagerWatch&) = delete;
  LoginManagerWatch& operator=(const LoginManagerWatch&) = delete;

  // The owner is asked for after its changes are watched, so that no change in between is missed.
  bool start() {
    const std::string ownerChanges = std::string("type='signal',sender='") + busDriver + "',path='" + busDriverPath +
                                     "',interface='" + busDriver + "',member='NameOwnerChanged',arg0='" +
                                     loginService + "'";
    return sd_bus_add_match_async(bus_, out(ownerChanged_), ownerChanges.c_str(), onOwnerChanged, nullptr, this) >= 0 &&
           sd_bus_call_method_async(bus_, out(ownerQuery_), busDriver, busDriverPath, busDriver, "GetNameOwner",
                                    onOwner, this, "s", loginService) >= 0;
  }

private:
  // Receives a slot from an sd-bus call that makes one.
  class SlotOut {
  public:
    explicit SlotOut(Slot& slot) : slot_(slot) {}
    ~SlotOut() { slot_.reset(raw_); }
    SlotOut(const SlotOut&) = delete;
    SlotOut& operator=(const SlotOut&) = delete;
    operator sd_bus_slot**() { return &raw_; }

  private:
    Slot& slot_;
    sd_bus_slot* raw_ = nullptr;
  };
  static SlotOut out(Slot& slot) { return SlotOut(slot); }

  static LoginManagerWatch& of(void* userdata) { return *static_cast<LoginManagerWatch*>(userdata); }

  static int onOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    const char* name = nullptr;
    const char* previousOwner = nullptr;
    const char* newOwner = nullptr;
    if (!isFrom(message, busDriver) || !hasSignature(message, "sss") ||
        sd_bus_message_read(message, "sss", &name, &previousOwner, &newOwner) < 0 ||
        std::strcmp(name, loginService) != 0) {
      return 0;
    }
    watch.ownerQuery_.reset();
    if (isUniqueName(newOwner)) {
      watch.follow(newOwner);
    } else {
      watch.forgetOwner();
    }
    return 0;
  }

  static int onOwner(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    watch.ownerQuery_.reset();
    const char* owner = nullptr;
    // No owner yet: the manager may still start, and its taking the name is watched.
    if (sd_bus_message_is_method_error(reply, nullptr) || !isFrom(reply, busDriver) || !hasSignature(reply, "s") ||
        sd_bus_message_read(reply, "s", &owner) < 0 || !isUniqueName(owner)) {
      return 0;
    }
    watch.follow(owner);
    return 0;
  }

  // The sleep signal is watched before the session is asked for, so that a sleep announced while
  // the session is looked up is still heard.
  void follow(const std::string& owner) {
    if (owner == owner_) return;
    forgetOwner();
    owner_ = owner;
    if (sd_bus_match_signal_async(bus_, out(sleep_), owner_.c_str(), managerPath, managerInterface, "PrepareForSleep",
                                  onPrepareForSleep, nullptr, this) < 0) {
      return;
    }
    sd_bus_call_method_async(bus_, out(sessionQuery_), owner_.c_str(), managerPath, managerInterface,
                             "GetSessionByPID", onSessionOfProcess, this, "u", static_cast<std::uint32_t>(::getpid()));
  }

  void forgetOwner() {
    owner_.clear();
    sleep_.reset();
    sessionQuery_.reset();
    sessionChanges_.reset();
    activeQuery_.reset();
    askAgain_ = false;
  }

  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    if (!isFrom(message, watch.owner_)) return 0;
    if (const auto preparing = readBoolean(message)) watch.reported_(sleepTransitionEvent(*preparing));
    return 0;
  }

  // A process that the user's service manager started, as desktops now start applications, is in
  // no login session of its own; the session it shows on is then the user's display session.
  static int onSessionOfProcess(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    if (!isFrom(reply, watch.owner_)) return 0;
    if (!sd_bus_message_is_method_error(reply, nullptr)) return onSession(reply, userdata, nullptr);
    sd_bus_call_method_async(watch.bus_, out(watch.sessionQuery_), watch.owner_.c_str(), managerPath,
                             managerInterface, "GetSession", onSession, userdata, "s", "auto");
    return 0;
  }

  static int onSession(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    const char* path = nullptr;
    if (!isFrom(reply, watch.owner_) || sd_bus_message_is_method_error(reply, nullptr) || !hasSignature(reply, "o") ||
        sd_bus_message_read(reply, "o", &path) < 0) {
      return 0;
    }
    watch.sessionPath_ = path;
    watch.sessionQuery_.reset();
    if (sd_bus_match_signal_async(watch.bus_, out(watch.sessionChanges_), watch.owner_.c_str(),
                                  watch.sessionPath_.c_str(), propertiesInterface, "PropertiesChanged",
                                  onSessionChanged, nullptr, userdata) < 0) {
      return 0;
    }
    watch.askWhetherActive();
    return 0;
  }

  // One question at a time: a change announced while one is open is asked about once it is
  // answered, so that a stream of announcements cannot keep every answer from arriving.
  void askWhetherActive() {
    if (activeQuery_) {
      askAgain_ = true;
      return;
    }
    sd_bus_call_method_async(bus_, out(activeQuery_), owner_.c_str(), sessionPath_.c_str(), propertiesInterface,
                             "Get", onActive, this, "ss", sessionInterface, "Active");
  }

  static int onSessionChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    if (!isFrom(message, watch.owner_)) return 0;
    const auto change = readActiveChange(message);
    if (!change) return 0;
    if (change->active) {
      watch.read(*change->active);
    } else if (change->invalidated) {
      watch.askWhetherActive();
    }
    return 0;
  }

  static int onActive(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& watch = of(userdata);
    if (!isFrom(reply, watch.owner_)) return 0;
    watch.activeQuery_.reset();
    int active = 0;
    if (!sd_bus_message_is_method_error(reply, nullptr) && hasSignature(reply, "v") &&
        sd_bus_message_read(reply, "v", "b", &active) >= 0) {
      watch.read(active != 0);
    }
    if (std::exchange(watch.askAgain_, false)) watch.askWhetherActive();
    return 0;
  }

  void read(bool active) {
    if (const auto event = activity_.read(active)) reported_(*event);
  }

  sd_bus* bus_;
  const SessionEventSource::Reported& reported_;
  // Kept across a restart of the manager: a session whose state changed meanwhile is a change.
  SessionActivity activity_;
  std::string owner_;
  std::string sessionPath_;
  Slot ownerChanged_;
  Slot ownerQuery_;
  Slot sleep_;
  Slot sessionQuery_;
  Slot sessionChanges_;
  Slot activeQuery_;
  bool askAgain_ = false;
};

// Unix descriptors are refused: nothing here takes one, and a peer could otherwise fill this
// process's table with them.
Bus connect(const std::string& address) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return nullptr;
  Bus bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_negotiate_fds(raw, 0) < 0 || sd_bus_start(raw) < 0) {
    return nullptr;
  }
  return bus;
}

// sd-bus gives its next deadline on the monotonic clock, or none as UINT64_MAX.
int pollTimeoutUntil(std::uint64_t deadline) {
  if (deadline == UINT64_MAX) return -1;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t nowMicroseconds =
      static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  if (deadline <= nowMicroseconds) return 0;
  const std::uint64_t milliseconds = (deadline - nowMicroseconds + 999) / 1000;
  return milliseconds > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
}

class LogindSessionSource final : public SessionEventSource {
public:
  LogindSessionSource(std::string busAddress, Reported reported)
      : busAddress_(std::move(busAddress)), reported_(std::move(reported)) {
    // Without its wake descriptor the thread could never be stopped: then nothing is heard.
    if (wake_.isOpen()) thread_ = std::thread([this] { run(); });
  }

  ~LogindSessionSource() override {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    wake_.signal();
    thread_.join();
  }

  LogindSessionSource(const LogindSessionSource&) = delete;
  LogindSessionSource& operator=(const LogindSessionSource&) = delete;

private:
  // The watch goes before the connection whose slots it holds.
  void run() {
    const Bus bus = connect(busAddress_);
    if (!bus) return;
    LoginManagerWatch watch(bus.get(), reported_);
    if (!watch.start()) return;
    serve(bus.get());
  }

  // The stop flag is read between messages too, so that a peer that floods this connection cannot
  // keep the thread from stopping.
  void serve(sd_bus* bus) {
    while (!stopping_.load()) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) return;
      if (processed > 0) continue;
      const int descriptor = sd_bus_get_fd(bus);
      const int events = sd_bus_get_events(bus);
      std::uint64_t deadline = UINT64_MAX;
      if (descriptor < 0 || events < 0 || sd_bus_get_timeout(bus, &deadline) < 0) return;
      std::array<pollfd, 2> descriptors{pollfd{descriptor, static_cast<short>(events), 0},
                                        pollfd{wake_.get(), POLLIN, 0}};
      if (::poll(descriptors.data(), descriptors.size(), pollTimeoutUntil(deadline)) < 0 && errno != EINTR) return;
      if (descriptors[1].revents != 0) return;
    }
  }

  std::string busAddress_;
  Reported reported_;
  WakeDescriptor wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace

bool readsLogind() { return true; }

std::unique_ptr<SessionEventSource> openLogindSessionSource(std::string busAddress,
                                                            SessionEventSource::Reported reported) {
  return std::make_unique<LogindSessionSource>(std::move(busAddress), std::move(reported));
}

}  // namespace platform::workspace

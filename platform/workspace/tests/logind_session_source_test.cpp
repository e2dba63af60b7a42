#include "platform/workspace/logind_session_source.hpp"
#include "platform/workspace/system_workspace.hpp"
#include "platform/workspace/wake_descriptor.hpp"

#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace platform::workspace {
namespace {

using Kind = WorkspaceEvent::Kind;
using runtime::testing::hangLimit;
using runtime::testing::runUntil;

constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionPath = "/org/freedesktop/login1/session/_31";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

struct CloseBus {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, CloseBus>;

struct UnrefSlot {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, UnrefSlot>;

struct UnrefMessage {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, UnrefMessage>;

void check(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string(what) + " failed: " + std::strerror(-result));
}

Bus connectTo(const std::string& address) {
  sd_bus* raw = nullptr;
  check(sd_bus_new(&raw), "sd_bus_new");
  Bus bus(raw);
  check(sd_bus_set_address(raw, address.c_str()), "sd_bus_set_address");
  check(sd_bus_set_bus_client(raw, 1), "sd_bus_set_bus_client");
  check(sd_bus_start(raw), "sd_bus_start");
  return bus;
}

// A message bus of the test's own, in a temporary directory, that anyone on it may use freely.
class PrivateBus {
public:
  PrivateBus() {
    directory_ = std::filesystem::temp_directory_path() /
                 ("workspace-bus-" + std::to_string(::getpid()) + "-" + std::to_string(++made_));
    std::filesystem::create_directories(directory_);
    const auto configuration = directory_ / "bus.conf";
    std::ofstream(configuration) << "<busconfig>\n"
                                    "  <type>session</type>\n"
                                    "  <listen>unix:dir=" << directory_.string() << "</listen>\n"
                                    "  <auth>EXTERNAL</auth>\n"
                                    "  <policy context=\"default\">\n"
                                    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                    "    <allow eavesdrop=\"true\"/>\n"
                                    "    <allow own=\"*\"/>\n"
                                    "  </policy>\n"
                                    "</busconfig>\n";
    start(configuration);
  }

  ~PrivateBus() {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      int status = 0;
      ::waitpid(daemon_, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  const std::filesystem::path& directory() const { return directory_; }

private:
  // The daemon writes its address to descriptor 3 once it listens.
  void start(const std::filesystem::path& configuration) {
    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const std::string configurationArgument = "--config-file=" + configuration.string();
    std::array<char*, 5> arguments{const_cast<char*>("dbus-daemon"), const_cast<char*>(configurationArgument.c_str()),
                                   const_cast<char*>("--nofork"), const_cast<char*>("--print-address=3"), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
    const int spawned = ::posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, arguments.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
      daemon_ = -1;
      ::close(pipe[0]);
      throw std::runtime_error("dbus-daemon could not be started (scripts/install-deps installs it)");
    }
    address_ = readLine(pipe[0]);
    ::close(pipe[0]);
    if (address_.empty()) throw std::runtime_error("dbus-daemon gave no address");
  }

  static std::string readLine(int descriptor) {
    std::string line;
    const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
    while (std::chrono::steady_clock::now() < giveUp) {
      pollfd readable{descriptor, POLLIN, 0};
      if (::poll(&readable, 1, 100) <= 0) continue;
      char character = 0;
      if (::read(descriptor, &character, 1) != 1) break;
      if (character == '\n') return line;
      line += character;
    }
    return {};
  }

  static inline int made_ = 0;
  std::filesystem::path directory_;
  pid_t daemon_ = -1;
  std::string address_;
};

// How the stand-in login manager answers.
struct ManagerBehaviour {
  const char* what;
  // Whether GetSessionByPID knows the caller's session; when not, only GetSession("auto") does.
  bool callerHasSession;
  // Whether a change of Active is sent with its value or only as invalidated.
  bool sendsActiveValue;
};

// A login manager on the private bus, on a thread of its own as a bus peer is. The test drives it
// through perform(), which runs on that thread, since a connection is not shared between threads.
class FakeLoginManager {
public:
  FakeLoginManager(const std::string& address, ManagerBehaviour behaviour)
      : behaviour_(behaviour), bus_(connectTo(address)) {
    const auto* vtable = behaviour_.sendsActiveValue ? sessionSendingValue : sessionInvalidating;
    check(sd_bus_add_object_vtable(bus_.get(), nullptr, managerPath, managerInterface, managerVtable, this),
          "manager vtable");
    check(sd_bus_add_object_vtable(bus_.get(), nullptr, sessionPath, sessionInterface, vtable, this), "session vtable");
    check(sd_bus_request_name(bus_.get(), "org.freedesktop.login1", 0), "taking the login manager's name");
    thread_ = std::thread([this] { serve(); });
  }

  ~FakeLoginManager() {
    stopping_ = true;
    wake_.signal();
    thread_.join();
  }

  FakeLoginManager(const FakeLoginManager&) = delete;
  FakeLoginManager& operator=(const FakeLoginManager&) = delete;

  // How often the session's Active property was asked for.
  int activeReadings() const { return activeReadings_.load(); }
  // The connection that asked for its session.
  std::string client() {
    std::lock_guard lock(mutex_);
    return client_;
  }

  void perform(std::function<void(sd_bus*)> action) {
    const auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    {
      std::lock_guard lock(mutex_);
      actions_.push_back([done, action = std::move(action)](sd_bus* bus) {
        try {
          action(bus);
          sd_bus_flush(bus);
          done->set_value();
        } catch (...) {
          done->set_exception(std::current_exception());
        }
      });
    }
    wake_.signal();
    if (finished.wait_for(hangLimit) != std::future_status::ready) throw std::runtime_error("the manager hangs");
    finished.get();
  }

  void announceSleep(bool preparing) {
    perform([preparing](sd_bus* bus) {
      check(sd_bus_emit_signal(bus, managerPath, managerInterface, "PrepareForSleep", "b", preparing ? 1 : 0),
            "PrepareForSleep");
    });
  }

  void setActive(bool active) {
    perform([this, active](sd_bus* bus) {
      active_ = active;
      check(sd_bus_emit_properties_changed(bus, sessionPath, sessionInterface, "Active", nullptr), "PropertiesChanged");
    });
  }

  // Signals of the right names whose contents are not what they should be.
  void sendMalformedSignals() {
    perform([](sd_bus* bus) {
      check(sd_bus_emit_signal(bus, managerPath, managerInterface, "PrepareForSleep", "s", "yes"), "PrepareForSleep");
      check(sd_bus_emit_signal(bus, managerPath, managerInterface, "PrepareForSleep", "bb", 1, 1), "PrepareForSleep");
      check(sd_bus_emit_signal(bus, sessionPath, propertiesInterface, "PropertiesChanged", "sa{sv}as",
                               sessionInterface, 1, "Active", "s", "no", 0),
            "PropertiesChanged");
      check(sd_bus_emit_signal(bus, sessionPath, propertiesInterface, "PropertiesChanged", "s", sessionInterface),
            "PropertiesChanged");
    });
  }

  void releaseName() {
    perform([](sd_bus* bus) { check(sd_bus_release_name(bus, "org.freedesktop.login1"), "releasing the name"); });
  }

private:
  static int getSessionByPID(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto& manager = *static_cast<FakeLoginManager*>(userdata);
    std::uint32_t pid = 0;
    if (const int read = sd_bus_message_read(call, "u", &pid); read < 0) return read;
    manager.noteClient(call);
    if (!manager.behaviour_.callerHasSession || pid != static_cast<std::uint32_t>(::getpid())) {
      return sd_bus_reply_method_errorf(call, "org.freedesktop.login1.NoSessionForPID", "no session for %u", pid);
    }
    return sd_bus_reply_method_return(call, "o", sessionPath);
  }

  static int getSession(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto& manager = *static_cast<FakeLoginManager*>(userdata);
    const char* name = nullptr;
    if (const int read = sd_bus_message_read(call, "s", &name); read < 0) return read;
    manager.noteClient(call);
    if (std::string(name) != "auto") {
      return sd_bus_reply_method_errorf(call, "org.freedesktop.login1.NoSuchSession", "no session %s", name);
    }
    return sd_bus_reply_method_return(call, "o", sessionPath);
  }

  static int getActive(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                       sd_bus_error*) {
    auto& manager = *static_cast<FakeLoginManager*>(userdata);
    ++manager.activeReadings_;
    return sd_bus_message_append(reply, "b", manager.active_ ? 1 : 0);
  }

  void noteClient(sd_bus_message* call) {
    std::lock_guard lock(mutex_);
    client_ = sd_bus_message_get_sender(call);
  }

  void serve() {
    while (!stopping_) {
      runActions();
      const int processed = sd_bus_process(bus_.get(), nullptr);
      if (processed < 0) return;
      if (processed > 0) continue;
      std::array<pollfd, 2> descriptors{
          pollfd{sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
          pollfd{wake_.get(), POLLIN, 0}};
      ::poll(descriptors.data(), descriptors.size(), 100);
      std::uint64_t drained = 0;
      while (::read(wake_.get(), &drained, sizeof drained) > 0) {
      }
    }
  }

  void runActions() {
    std::deque<std::function<void(sd_bus*)>> actions;
    {
      std::lock_guard lock(mutex_);
      actions.swap(actions_);
    }
    for (auto& action : actions) action(bus_.get());
  }

  static inline const sd_bus_vtable managerVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("GetSessionByPID", "u", "o", getSessionByPID, 0),
      SD_BUS_METHOD("GetSession", "s", "o", getSession, 0),
      SD_BUS_VTABLE_END,
  };
  static inline const sd_bus_vtable sessionSendingValue[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Active", "b", getActive, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END,
  };
  static inline const sd_bus_vtable sessionInvalidating[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Active", "b", getActive, 0, SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
      SD_BUS_VTABLE_END,
  };

  ManagerBehaviour behaviour_;
  Bus bus_;
  bool active_ = true;  // only on the manager's thread
  std::atomic<int> activeReadings_{0};
  std::mutex mutex_;
  std::string client_;
  std::deque<std::function<void(sd_bus*)>> actions_;
  WakeDescriptor wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

FrontmostProcessSource::Opener noDisplay() {
  return [](FrontmostProcessSource::Activated) { return std::unique_ptr<FrontmostProcessSource>(); };
}

// A workspace that hears the login manager on the private bus, and what its observer heard, with
// whether each event came on the main executor.
struct ListeningWorkspace {
  boost::asio::io_context main;
  SystemWorkspace workspace;
  std::vector<WorkspaceEvent> heard;
  std::vector<bool> onMain;

  explicit ListeningWorkspace(const std::string& busAddress)
      : workspace(main.get_executor(), noDisplay(), loginManagerEventsOn(busAddress)) {
    workspace.addObserver([this](const WorkspaceEvent& event) {
      heard.push_back(event);
      onMain.push_back(workspace.isOnMainExecutor());
    });
  }

  // The source asks whether the session is active only once its signals are watched.
  bool listensTo(const FakeLoginManager& manager) {
    return runUntil(main, [&] { return manager.activeReadings() > 0; });
  }

  bool hears(std::size_t count) {
    return runUntil(main, [&] { return heard.size() >= count; });
  }
};

std::vector<WorkspaceEvent> eventsOf(std::initializer_list<Kind> kinds) {
  std::vector<WorkspaceEvent> events;
  for (const auto kind : kinds) events.push_back(WorkspaceEvent{kind, std::nullopt});
  return events;
}

class LogindSessionSourceTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(readsLogind()); }

  PrivateBus bus;
};

TEST_F(LogindSessionSourceTest, SleepWakeAndTheSessionsActivityReachObserversOnTheMainExecutorInOrder) {
  const ManagerBehaviour behaviours[] = {
      {"the process is in a session that sends its changes with their values", true, true},
      {"the process is in no session, so the display session counts", false, true},
      {"the session says only that Active changed", true, false},
  };
  for (const auto& behaviour : behaviours) {
    FakeLoginManager manager(bus.address(), behaviour);
    ListeningWorkspace listening(bus.address());
    ASSERT_TRUE(listening.listensTo(manager)) << behaviour.what;

    manager.announceSleep(true);
    manager.sendMalformedSignals();
    manager.announceSleep(false);
    ASSERT_TRUE(listening.hears(2)) << behaviour.what;
    // A session that only says that Active changed is asked what it is now: a change that is
    // undone before the answer leaves no trace, so this one is waited for.
    manager.setActive(false);
    ASSERT_TRUE(listening.hears(3)) << behaviour.what;
    // The same reading again is no change.
    manager.setActive(false);
    manager.setActive(true);
    ASSERT_TRUE(listening.hears(4)) << behaviour.what;

    EXPECT_EQ(listening.heard, eventsOf({Kind::willSleep, Kind::didWake, Kind::sessionDidResignActive,
                                         Kind::sessionDidBecomeActive}))
        << behaviour.what;
    EXPECT_EQ(listening.onMain, std::vector<bool>(listening.heard.size(), true)) << behaviour.what;
  }
}

// Another connection sends what the login manager would, to everyone and to the source directly;
// its ping is answered only once the source has read everything it sent before.
TEST_F(LogindSessionSourceTest, WhatAnotherConnectionSendsInTheLoginManagersNameIsIgnored) {
  FakeLoginManager manager(bus.address(), {"", true, true});
  ListeningWorkspace listening(bus.address());
  ASSERT_TRUE(listening.listensTo(manager));
  const auto source = manager.client();
  ASSERT_FALSE(source.empty());

  const Bus impostor = connectTo(bus.address());
  for (const char* destination : {static_cast<const char*>(nullptr), source.c_str()}) {
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_signal(impostor.get(), &raw, managerPath, managerInterface, "PrepareForSleep"),
          "a signal");
    const Message sleep(raw);
    check(sd_bus_message_append(sleep.get(), "b", 1), "its value");
    if (destination) check(sd_bus_message_set_destination(sleep.get(), destination), "its destination");
    check(sd_bus_send(impostor.get(), sleep.get(), nullptr), "sending it");

    check(sd_bus_message_new_signal(impostor.get(), &raw, sessionPath, propertiesInterface, "PropertiesChanged"),
          "a signal");
    const Message change(raw);
    check(sd_bus_message_append(change.get(), "sa{sv}as", sessionInterface, 1, "Active", "b", 0, 0), "its values");
    if (destination) check(sd_bus_message_set_destination(change.get(), destination), "its destination");
    check(sd_bus_send(impostor.get(), change.get(), nullptr), "sending it");
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int pinged =
      sd_bus_call_method(impostor.get(), source.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", &error, &reply, "");
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  ASSERT_GE(pinged, 0);

  manager.announceSleep(false);
  ASSERT_TRUE(listening.hears(1));
  EXPECT_EQ(listening.heard, eventsOf({Kind::didWake}));
}

// The manager restarted: its old connection, still on the bus, no longer speaks for it.
TEST_F(LogindSessionSourceTest, WhenTheLoginManagersNamePassesOnItsNewOwnerIsHeardInstead) {
  FakeLoginManager first(bus.address(), {"", true, true});
  ListeningWorkspace listening(bus.address());
  ASSERT_TRUE(listening.listensTo(first));
  first.releaseName();
  FakeLoginManager second(bus.address(), {"", true, true});
  ASSERT_TRUE(listening.listensTo(second));

  first.announceSleep(false);
  first.setActive(false);
  const auto source = second.client();
  first.perform([&](sd_bus* bus) {
    check(sd_bus_call_method(bus, source.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, ""),
          "pinging the source");
  });
  second.announceSleep(true);
  second.setActive(false);
  ASSERT_TRUE(listening.hears(2));
  EXPECT_EQ(listening.heard, eventsOf({Kind::willSleep, Kind::sessionDidResignActive}));
}

TEST_F(LogindSessionSourceTest, WhereNoBusAnswersTheWorkspaceHearsNothingAndStillWorks) {
  ListeningWorkspace listening("unix:path=" + (bus.directory() / "nothing-listens-here").string());
  EXPECT_TRUE(listening.workspace.runningApplication(::getpid()).has_value());
  listening.main.poll();
  EXPECT_TRUE(listening.heard.empty());
}

}  // namespace
}  // namespace platform::workspace

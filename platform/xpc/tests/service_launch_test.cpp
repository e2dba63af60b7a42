#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::xpc {
namespace {

using namespace std::chrono_literals;

constexpr auto eventually = 30s;

const Interface echoInterface{{{"echo:reply:", {Kind::int64}, {Kind::int64}}}};

// Events in the order they happened, from any thread.
class Journal {
public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, eventually, [&] { return events_.size() >= count; });
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

class EchoServer final : public ExportedObject {
public:
  void invoke(const std::string&, Values arguments, Reply reply) override { reply(std::move(arguments)); }
};

class AcceptingDelegate final : public ListenerDelegate {
public:
  bool shouldAccept(Listener&, std::shared_ptr<Connection> connection) override {
    connection->setExportedInterface(echoInterface);
    connection->setExportedObject(std::make_shared<EchoServer>());
    connection->resume();
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(connection));
    return true;
  }
  void invalidateAll() {
    std::lock_guard lock(mutex_);
    for (const auto& connection : held_) connection->invalidate();
    held_.clear();
  }

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<Connection>> held_;
};

// Answers each ask with what the test's function says, given how often it was asked; records the
// names and the threads it was asked on.
class ScriptedLauncher final : public ServiceLauncher {
public:
  explicit ScriptedLauncher(std::function<bool(int ask)> answer) : answer_(std::move(answer)) {}
  bool launch(const std::string& serviceName) override {
    int ask = 0;
    {
      std::lock_guard lock(mutex_);
      names_.push_back(serviceName);
      threads_.push_back(std::this_thread::get_id());
      ask = static_cast<int>(names_.size());
    }
    return answer_(ask);
  }
  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    return names_;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }

private:
  std::function<bool(int)> answer_;
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
  std::vector<std::thread::id> threads_;
};

class XPCServiceLaunch : public ::testing::Test {
protected:
  // Connections end before their journals: the context goes first, which ends every handler.
  void TearDown() override {
    delegate_->invalidateAll();
    context_.reset();
    journals_.clear();
  }

  Journal& journal() { return journals_.emplace_back(); }

  Context& makeContext(std::shared_ptr<ServiceLauncher> launcher, std::chrono::milliseconds launchWait = 10min) {
    ContextOptions options;
    options.launcher = std::move(launcher);
    options.launchWait = launchWait;
    return context_.emplace(RuntimeDirectory::at(temporary_.path().string() + "/run"), options);
  }

  std::shared_ptr<Listener> serve(const std::string& name) {
    auto listener = Listener::forService(*context_, name);
    listener->setDelegate(delegate_);
    listener->resume();
    return listener;
  }

  // One echo call on a new connection; the journal gets "reply N", "invalidated" and "error".
  std::shared_ptr<Connection> call(std::shared_ptr<Connection> connection, Journal& journal) {
    connection->setRemoteInterface(echoInterface);
    connection->setInvalidationHandler([&journal] { journal.add("invalidated"); });
    connection->resume();
    connection->send(
        "echo:reply:", {std::int64_t{7}},
        [&journal](Values reply) { journal.add("reply " + std::to_string(std::get<std::int64_t>(reply[0]))); },
        [&journal](Error) { journal.add("error"); });
    return connection;
  }

  std::string socketPath(const std::string& name) const { return temporary_.path().string() + "/run/" + name; }

  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::shared_ptr<AcceptingDelegate> delegate_ = std::make_shared<AcceptingDelegate>();
  std::deque<Journal> journals_;
  std::optional<Context> context_;
};

TEST_F(XPCServiceLaunch, AServiceNobodyServesFailsAtOnceWhenTheLauncherSaysNo) {
  // Nothing at the path, and a socket file left by a listener that is gone: both mean nobody listens.
  for (const bool staleFile : {false, true}) {
    SCOPED_TRACE(staleFile ? "stale socket file" : "no socket file");
    auto launcher = std::make_shared<ScriptedLauncher>([](int) { return false; });
    Context& context = makeContext(launcher);
    if (staleFile) {
      UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const auto path = socketPath("svc");
      std::memcpy(address.sun_path, path.data(), path.size());
      ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    Journal& journal = this->journal();
    auto connection = call(Connection::toService(context, "svc"), journal);
    ASSERT_TRUE(journal.waitForCount(2));
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"invalidated", "error"}));
    EXPECT_EQ(launcher->names(), std::vector<std::string>{"svc"});
    connection.reset();
    context_.reset();
    std::filesystem::remove(socketPath("svc"));
  }
}

TEST_F(XPCServiceLaunch, AProgramThatListensSoonAfterItsLaunchGetsTheWaitingCall) {
  std::shared_ptr<Listener> listener;
  // The program answers "running" at once but listens only by the third ask, as a program that
  // takes a moment to start does.
  auto launcher = std::make_shared<ScriptedLauncher>([&](int ask) {
    if (ask == 3) listener = serve("svc");
    return true;
  });
  Context& context = makeContext(launcher);
  Journal& journal = this->journal();
  auto connection = call(Connection::toService(context, "svc"), journal);
  ASSERT_TRUE(journal.waitForCount(1));
  EXPECT_EQ(journal.events(), std::vector<std::string>{"reply 7"});
  EXPECT_EQ(launcher->names(), (std::vector<std::string>{"svc", "svc", "svc"}));
  // Launches run off the I/O threads (which may be busy with the program's other connections).
  const auto threads = launcher->threads();
  EXPECT_NE(threads.front(), std::this_thread::get_id());

  // A live service is connected to without asking.
  Journal& again = this->journal();
  auto second = call(Connection::toService(context, "svc"), again);
  ASSERT_TRUE(again.waitForCount(1));
  EXPECT_EQ(again.events(), std::vector<std::string>{"reply 7"});
  EXPECT_EQ(launcher->names().size(), 3u);
}

TEST_F(XPCServiceLaunch, AProgramThatEndsAfterItsLaunchFailsTheConnectionWithoutWaitingOutTheLimit) {
  auto launcher = std::make_shared<ScriptedLauncher>([](int ask) { return ask < 3; });
  Context& context = makeContext(launcher, 10min);
  Journal& journal = this->journal();
  const auto started = std::chrono::steady_clock::now();
  auto connection = call(Connection::toService(context, "svc"), journal);
  ASSERT_TRUE(journal.waitForCount(2));
  EXPECT_LT(std::chrono::steady_clock::now() - started, eventually);
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"invalidated", "error"}));
  EXPECT_EQ(launcher->names().size(), 3u);
}

TEST_F(XPCServiceLaunch, AProgramThatNeverListensFailsTheConnectionWhenTheLaunchWaitIsOver) {
  auto launcher = std::make_shared<ScriptedLauncher>([](int) { return true; });
  constexpr auto limit = 200ms;
  Context& context = makeContext(launcher, limit);
  Journal& journal = this->journal();
  const auto started = std::chrono::steady_clock::now();
  auto connection = call(Connection::toService(context, "svc"), journal);
  ASSERT_TRUE(journal.waitForCount(2));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, limit);
  EXPECT_LT(waited, 10s);
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"invalidated", "error"}));
  EXPECT_GE(launcher->names().size(), 2u);
}

TEST_F(XPCServiceLaunch, AnEndpointIsNeverLaunched) {
  auto launcher = std::make_shared<ScriptedLauncher>([](int) { return true; });
  Context& context = makeContext(launcher);
  Journal& journal = this->journal();
  auto connection = call(Connection::toEndpoint(context, Endpoint{socketPath("anonymous-gone")}), journal);
  ASSERT_TRUE(journal.waitForCount(2));
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"invalidated", "error"}));
  EXPECT_TRUE(launcher->names().empty());
}

TEST(XPCListenerLifetime, AListenerWhoseContextEndsBeforeItsInvalidationRanRemovesItsSocket) {
  foundation::testing::TemporaryDirectory temporary("/tmp");
  const auto path = temporary.path() / "run" / "svc";
  ContextOptions options;
  options.ioThreads = 1;
  std::optional<Context> context(std::in_place, RuntimeDirectory::at((temporary.path() / "run").string()), options);
  // The one I/O thread is held until the context stops it, so the listener's invalidation,
  // queued behind, never runs on it.
  auto executor = context->executor();
  boost::asio::post(executor, [executor] {
    while (!executor.context().stopped()) std::this_thread::sleep_for(1ms);
  });
  auto listener = Listener::forService(*context, "svc");
  ASSERT_TRUE(std::filesystem::exists(path));
  listener.reset();
  context.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace platform::xpc

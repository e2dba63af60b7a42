#include "platform/xpc/connection.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/listener.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace platform::xpc {
namespace {

using namespace std::chrono_literals;

// What should happen at once is given this long before a test calls it a failure.
constexpr auto eventually = 30s;

// Accepts texts "pid N" and is satisfied by process N only; records whom it was asked about.
class FakeVerifier : public PeerVerifier {
public:
  bool isValidRequirement(std::string_view text) const override { return text.rfind("pid ", 0) == 0; }
  bool satisfies(pid_t pid, std::string_view text) const override {
    std::lock_guard lock(mutex_);
    asked_.push_back(pid);
    return text == "pid " + std::to_string(pid);
  }
  std::vector<pid_t> asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }

private:
  mutable std::mutex mutex_;
  mutable std::vector<pid_t> asked_;
};

std::string requirementFor(pid_t pid) { return "pid " + std::to_string(pid); }

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
  bool waitFor(const std::string& event) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, eventually,
                             [&] { return std::find(events_.begin(), events_.end(), event) != events_.end(); });
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

std::string nameOf(Error error) {
  switch (error) {
    case Error::interrupted: return "interrupted";
    case Error::invalid: return "invalid";
    case Error::replyDropped: return "replyDropped";
    case Error::protocol: return "protocol";
    case Error::overloaded: return "overloaded";
  }
  return "?";
}

const Interface testInterface{{
    {"echo:reply:", {Kind::int64}, {Kind::int64}},
    {"hold:reply:", {}, {Kind::boolean}},
    {"drop:reply:", {}, {Kind::boolean}},
    {"twice:reply:", {}, {Kind::int64}},
    {"wrongReply:reply:", {}, {Kind::int64}},
    {"take:reply:", {Kind::string, Kind::optionalEndpoint}, {Kind::boolean}},
}};

// The server side of testInterface; "hold:" keeps its reply until released.
class TestServer : public ExportedObject {
public:
  explicit TestServer(Journal& journal) : journal_(journal) {}
  void invoke(const std::string& selector, Values arguments, Reply reply) override {
    invokedOn_.insert(std::this_thread::get_id());
    if (selector == "echo:reply:") {
      journal_.add("call " + std::to_string(std::get<std::int64_t>(arguments[0])));
      reply({arguments[0]});
    } else if (selector == "hold:reply:") {
      std::lock_guard lock(mutex_);
      held_.push_back(std::move(reply));
      journal_.add("held");
    } else if (selector == "twice:reply:") {
      reply({std::int64_t{1}});
      reply({std::int64_t{2}});
    } else if (selector == "wrongReply:reply:") {
      reply({std::string("not an int")});
    } else if (selector == "take:reply:") {
      journal_.add("take");
      reply({true});
    }  // "drop:" lets the reply go unsent
  }
  std::set<std::thread::id> invokedOn_;

private:
  Journal& journal_;
  std::mutex mutex_;
  std::vector<Reply> held_;
};

// Holds at most `capacity` connections, as the services built on this layer do.
class HoldingDelegate : public ListenerDelegate {
public:
  HoldingDelegate(Journal& journal, std::size_t capacity) : journal_(journal), capacity_(capacity) {}

  bool shouldAccept(Listener&, std::shared_ptr<Connection> connection) override {
    std::lock_guard lock(mutex_);
    asked_ += 1;
    uids_.push_back(connection->peerEffectiveUID().value_or(static_cast<uid_t>(-1)));
    if (connections_.size() >= capacity_) return false;
    const int id = nextID_++;
    connections_[id] = connection;
    connection->setExportedInterface(testInterface);
    connection->setExportedObject(std::make_shared<TestServer>(journal_));
    connection->setInvalidationHandler([this, id] {
      {
        std::lock_guard lock(mutex_);
        connections_.erase(id);
      }
      journal_.add("server invalidated");
    });
    connection->resume();
    return true;
  }
  std::size_t held() {
    std::lock_guard lock(mutex_);
    return connections_.size();
  }
  int asked() {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  std::vector<uid_t> uids() {
    std::lock_guard lock(mutex_);
    return uids_;
  }
  std::map<int, std::shared_ptr<Connection>> takeAll() {
    std::lock_guard lock(mutex_);
    return std::exchange(connections_, {});
  }
  void invalidateAll() {
    std::lock_guard lock(mutex_);
    for (auto& [id, connection] : connections_) connection->invalidate();
  }

private:
  Journal& journal_;
  std::size_t capacity_;
  std::mutex mutex_;
  std::map<int, std::shared_ptr<Connection>> connections_;
  int nextID_ = 0;
  int asked_ = 0;
  std::vector<uid_t> uids_;
};

// A raw socket connected to a path, for playing a peer that breaks the protocol.
UniqueFd rawConnect(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return fd;
}

bool writeAll(int fd, const Bytes& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads until the peer closes; the bytes read, or none when it stays open for `eventually`.
std::optional<Bytes> readUntilClosed(int fd) {
  Bytes received;
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd poll{fd, POLLIN, 0};
    if (::poll(&poll, 1, 1000) <= 0) continue;
    std::uint8_t buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) return received;
    received.insert(received.end(), buffer, buffer + count);
  }
  return std::nullopt;
}

Bytes frameBytes(const Frame& frame) {
  auto bytes = encodeFrame(frame);
  if (!bytes) throw std::logic_error("test frame does not encode");
  return *bytes;
}

class XPCConnection : public ::testing::Test {
protected:
  void SetUp() override {
    context_.emplace(RuntimeDirectory::at(root_ + "/run"), ContextOptions{verifier_});
  }
  // Connections go first, while their handlers' journals and delegates still exist; the context
  // next, which ends every handler; the rest after it.
  void TearDown() override {
    for (const auto& delegate : delegates_) delegate->takeAll();
    context_.reset();
    delegates_.clear();
    journals_.clear();
  }

  Context& context() { return *context_; }
  std::string runtimeDirectory() const { return root_ + "/run"; }

  std::shared_ptr<Listener> serve(std::shared_ptr<HoldingDelegate> delegate, const std::string& name = "svc") {
    auto listener = Listener::forService(context(), name);
    listener->setDelegate(delegate);
    delegates_.push_back(delegate);  // the listener holds its delegate weakly
    listener->resume();
    return listener;
  }

  std::shared_ptr<Connection> client(const Endpoint& endpoint, Journal& journal) {
    auto connection = Connection::toEndpoint(context(), endpoint);
    connection->setRemoteInterface(testInterface);
    connection->setInvalidationHandler([&journal] { journal.add("invalidated"); });
    connection->setInterruptionHandler([&journal] { journal.add("interrupted"); });
    return connection;
  }

  static void sendEcho(Connection& connection, std::int64_t value, Journal& journal) {
    connection.send(
        "echo:reply:", {value},
        [&journal](Values reply) { journal.add("reply " + std::to_string(std::get<std::int64_t>(reply[0]))); },
        [&journal](Error error) { journal.add("error " + nameOf(error)); });
  }

  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::string root_ = temporary_.path().string();
  std::shared_ptr<FakeVerifier> verifier_ = std::make_shared<FakeVerifier>();
  Journal& journal() { return journals_.emplace_back(); }

  std::deque<Journal> journals_;
  std::vector<std::shared_ptr<HoldingDelegate>> delegates_;
  std::optional<Context> context_;
};

TEST_F(XPCConnection, CallsArriveAndAreAnsweredInOrderOffTheCallersThread) {
  Journal& server = journal();
  Journal& client = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, 8);
  auto listener = serve(delegate);
  auto connection = this->client(listener->endpoint(), client);
  std::set<std::thread::id> replyThreads;
  std::mutex threadsMutex;
  connection->resume();
  constexpr int count = 300;
  for (int i = 0; i < count; ++i) {
    connection->send(
        "echo:reply:", {std::int64_t{i}},
        [&, i](Values reply) {
          {
            std::lock_guard lock(threadsMutex);
            replyThreads.insert(std::this_thread::get_id());
          }
          client.add("reply " + std::to_string(i) + "=" + std::to_string(std::get<std::int64_t>(reply[0])));
        },
        [&](Error error) { client.add("error " + nameOf(error)); });
  }
  ASSERT_TRUE(client.waitForCount(count));
  const auto replies = client.events();
  const auto calls = server.events();
  ASSERT_EQ(calls.size(), std::size_t{count});
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(calls[i], "call " + std::to_string(i));
    EXPECT_EQ(replies[i], "reply " + std::to_string(i) + "=" + std::to_string(i));
  }
  EXPECT_EQ(replyThreads.count(std::this_thread::get_id()), 0u);
}

TEST_F(XPCConnection, EveryCallEndsInExactlyOneCallback) {
  Journal& server = journal();
  Journal& client = journal();
  auto listener = serve(std::make_shared<HoldingDelegate>(server, 8));
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  const auto send = [&](const std::string& selector) {
    connection->send(
        selector, {}, [&, selector](Values) { client.add(selector + " reply"); },
        [&, selector](Error error) { client.add(selector + " " + nameOf(error)); });
  };
  send("twice:reply:");
  send("drop:reply:");
  send("wrongReply:reply:");
  send("unknown:");  // not in the remote interface: refused locally, connection kept
  sendEcho(*connection, 5, client);
  ASSERT_TRUE(client.waitFor("reply 5")) << ::testing::PrintToString(client.events()) << ::testing::PrintToString(server.events());
  const auto events = client.events();
  const std::multiset<std::string> outcomes(events.begin(), events.end());
  EXPECT_EQ(outcomes, (std::multiset<std::string>{"twice:reply: reply", "drop:reply: replyDropped",
                                                  "wrongReply:reply: replyDropped", "unknown: protocol",
                                                  "reply 5"}));
}

TEST_F(XPCConnection, InvalidationFromEitherSideRunsEachHandlerOnceAndFailsLaterSends) {
  for (const bool fromClient : {true, false}) {
    SCOPED_TRACE(fromClient ? "client invalidates" : "server invalidates");
    Journal& server = journal();
  Journal& client = journal();
    auto delegate = std::make_shared<HoldingDelegate>(server, 8);
    auto listener = serve(delegate, fromClient ? "a" : "b");
    auto connection = this->client(listener->endpoint(), client);
    connection->resume();
    sendEcho(*connection, 1, client);
    ASSERT_TRUE(client.waitFor("reply 1"));
    if (fromClient) {
      connection->invalidate();
      connection->invalidate();
    } else {
      delegate->invalidateAll();
    }
    ASSERT_TRUE(client.waitFor("invalidated"));
    ASSERT_TRUE(server.waitFor("server invalidated"));
    std::atomic<bool> errorOnCallersThread{true};
    connection->send(
        "echo:reply:", {std::int64_t{2}}, [&](Values) { client.add("late reply"); },
        [&, caller = std::this_thread::get_id()](Error error) {
          errorOnCallersThread = std::this_thread::get_id() == caller;
          client.add("late " + nameOf(error));
        });
    ASSERT_TRUE(client.waitFor("late invalid"));
    connection->invalidate();
    connection.reset();
    EXPECT_FALSE(errorOnCallersThread);
    EXPECT_EQ(client.events(), (std::vector<std::string>{"reply 1", "invalidated", "late invalid"}));
    EXPECT_EQ(server.events(), (std::vector<std::string>{"call 1", "server invalidated"}));
  }
}

TEST_F(XPCConnection, ANeverResumedConnectionRunsNoHandler) {
  Journal& server = journal();
  Journal& client = journal();
  auto listener = serve(std::make_shared<HoldingDelegate>(server, 8));
  {
    auto connection = this->client(listener->endpoint(), client);
    sendEcho(*connection, 1, client);
    connection->invalidate();
  }
  {
    auto toNowhere = Connection::toService(context(), "absent");
    toNowhere->setInvalidationHandler([&] { client.add("invalidated"); });
  }
  // The queued call still ends in its error callback; no connection handler may follow it.
  ASSERT_TRUE(client.waitFor("error invalid"));
  auto probe = this->client(listener->endpoint(), client);
  probe->resume();
  sendEcho(*probe, 2, client);
  ASSERT_TRUE(client.waitFor("reply 2"));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"error invalid", "reply 2"}));
  EXPECT_EQ(server.events(), (std::vector<std::string>{"call 2"}));
}

TEST_F(XPCConnection, NinthConnectionIsRefusedUntilOneCloses) {
  Journal& server = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, 8);
  auto listener = serve(delegate);
  std::vector<std::shared_ptr<Connection>> connections;
  std::vector<Journal*> journals;
  for (int i = 0; i < 9; ++i) {
    journals.push_back(&journal());
    connections.push_back(this->client(listener->endpoint(), *journals.back()));
    connections.back()->resume();
    sendEcho(*connections.back(), i, *journals.back());
    ASSERT_TRUE(journals.back()->waitForCount(i < 8 ? 1 : 2)) << i;
  }
  for (int i = 0; i < 8; ++i) EXPECT_EQ(journals[i]->events(), std::vector<std::string>{"reply " + std::to_string(i)});
  EXPECT_EQ(journals[8]->events(), (std::vector<std::string>{"invalidated", "error invalid"}));
  EXPECT_EQ(delegate->held(), 8u);

  connections[0]->invalidate();
  ASSERT_TRUE(server.waitFor("server invalidated"));
  Journal& again = journal();
  auto tenth = this->client(listener->endpoint(), again);
  tenth->resume();
  sendEcho(*tenth, 10, again);
  ASSERT_TRUE(again.waitForCount(1));
  EXPECT_EQ(again.events(), std::vector<std::string>{"reply 10"});
  const auto uids = delegate->uids();
  EXPECT_EQ(uids, std::vector<uid_t>(10, ::geteuid()));
}

TEST_F(XPCConnection, ListenerDropsAPeerThatDoesNotSatisfyItsRequirementBeforeReadingIt) {
  Journal& server = journal();
  Journal& client = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, 8);
  auto listener = Listener::forService(context(), "svc");
  EXPECT_FALSE(listener->setConnectionCodeSigningRequirement("anything else"));
  ASSERT_TRUE(listener->setConnectionCodeSigningRequirement(requirementFor(::getpid() + 1)));
  listener->setDelegate(delegate);
  delegates_.push_back(delegate);
  listener->resume();
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  sendEcho(*connection, 1, client);
  ASSERT_TRUE(client.waitForCount(2));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"invalidated", "error invalid"}));
  EXPECT_EQ(delegate->asked(), 0);
  EXPECT_TRUE(server.events().empty());
  EXPECT_EQ(verifier_->asked(), std::vector<pid_t>{::getpid()});

  // The same listener with a requirement this process satisfies accepts it.
  ASSERT_TRUE(listener->setConnectionCodeSigningRequirement(requirementFor(::getpid())));
  Journal& accepted = journal();
  auto second = this->client(listener->endpoint(), accepted);
  second->resume();
  sendEcho(*second, 2, accepted);
  ASSERT_TRUE(accepted.waitForCount(1));
  EXPECT_EQ(accepted.events(), std::vector<std::string>{"reply 2"});
}

TEST_F(XPCConnection, ClientSendsNothingToAServerThatDoesNotSatisfyItsRequirement) {
  const std::string path = runtimeDirectory() + "/plain";
  UniqueFd plainListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(plainListener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(plainListener.get(), 4), 0);

  Journal& client = journal();
  auto connection = this->client(Endpoint{path}, client);
  EXPECT_FALSE(connection->setCodeSigningRequirement("not a requirement"));
  ASSERT_TRUE(connection->setCodeSigningRequirement(requirementFor(::getpid() + 1)));
  sendEcho(*connection, 1, client);
  connection->resume();
  ASSERT_TRUE(client.waitForCount(2));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"invalidated", "error invalid"}));
  EXPECT_EQ(connection->peerPID(), ::getpid());

  const UniqueFd accepted(::accept4(plainListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(readUntilClosed(accepted.get()), Bytes{});
}

TEST_F(XPCConnection, ContextWithoutVerifierAcceptsNoRequirement) {
  Context bare(RuntimeDirectory::at(root_ + "/bare"));
  auto listener = Listener::anonymous(bare);
  EXPECT_FALSE(listener->setConnectionCodeSigningRequirement(requirementFor(::getpid())));
  auto connection = Connection::toEndpoint(bare, listener->endpoint());
  EXPECT_FALSE(connection->setCodeSigningRequirement(requirementFor(::getpid())));
}

TEST_F(XPCConnection, MalformedFramesInvalidateTheConnection) {
  const std::string inside = runtimeDirectory() + "/x";
  struct Case {
    const char* name;
    Bytes bytes;
    bool valid;
  };
  const Bytes zeroLength = {0, 0, 0, 0};
  const Bytes oversized = {0, 1, 0, 0};
  Bytes unknownType = frameBytes({FrameType::noReply, 1, "", {}, {}});
  unknownType[4] = 9;
  Bytes badUTF8 = frameBytes({FrameType::call, 1, "take:reply:", {Kind::string, Kind::optionalEndpoint},
                              {std::string("ab"), std::monostate{}}});
  badUTF8[badUTF8.size() - 4] = 0xFF;  // the first byte of "ab"
  const std::vector<Case> cases = {
      {"well formed", frameBytes({FrameType::call, 1, "take:reply:", {Kind::string, Kind::optionalEndpoint},
                                  {std::string("ab"), Endpoint{inside}}}),
       true},
      {"zero length", zeroLength, false},
      {"over 64 KiB", oversized, false},
      {"unknown frame type", unknownType, false},
      {"unknown selector", frameBytes({FrameType::call, 1, "other:", {}, {}}), false},
      {"wrong kinds", frameBytes({FrameType::call, 1, "take:reply:", {Kind::bytes, Kind::optionalEndpoint},
                                  {Bytes{}, std::monostate{}}}),
       false},
      {"optional where plain is declared",
       frameBytes({FrameType::call, 1, "echo:reply:", {Kind::optionalBytes}, {std::monostate{}}}), false},
      {"bad UTF-8", badUTF8, false},
      {"endpoint outside the runtime directory",
       frameBytes({FrameType::call, 1, "take:reply:", {Kind::string, Kind::optionalEndpoint},
                   {std::string("ab"), Endpoint{"/tmp/elsewhere"}}}),
       false},
      {"reply to no call", frameBytes({FrameType::reply, 1, "", {Kind::boolean}, {true}}), false},
  };
  Journal& server = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, 100);
  auto listener = serve(delegate);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = server.events().size();
    const UniqueFd peer = rawConnect(listener->endpoint().socketPath);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(writeAll(peer.get(), c.bytes));
    if (c.valid) {
      ASSERT_TRUE(server.waitForCount(before + 1));
      EXPECT_EQ(server.events().back(), "take");
      continue;
    }
    ASSERT_TRUE(server.waitForCount(before + 1));
    EXPECT_EQ(server.events().back(), "server invalidated");
    EXPECT_EQ(readUntilClosed(peer.get()), Bytes{});
  }
}

TEST_F(XPCConnection, MalformedReplyInvalidatesTheCallersConnection) {
  const std::string path = runtimeDirectory() + "/liar";
  UniqueFd plainListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(plainListener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(plainListener.get(), 4), 0);
  Journal& client = journal();
  auto connection = this->client(Endpoint{path}, client);
  connection->resume();
  sendEcho(*connection, 1, client);
  const UniqueFd accepted(::accept4(plainListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(accepted);
  // The reply carries a string where the interface declares an int64.
  ASSERT_TRUE(writeAll(accepted.get(), frameBytes({FrameType::reply, 1, "", {Kind::string}, {std::string("1")}})));
  ASSERT_TRUE(client.waitForCount(2));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"invalidated", "error protocol"}));
}

TEST_F(XPCConnection, PeerStallingMidFrameDoesNotHoldUpOthers) {
  Journal& server = journal();
  Journal& client = journal();
  auto listener = serve(std::make_shared<HoldingDelegate>(server, 8));
  const UniqueFd staller = rawConnect(listener->endpoint().socketPath);
  ASSERT_TRUE(staller);
  const Bytes partial = {0, 0, 1, 0, 1, 0};  // announces 256 bytes, sends 2
  ASSERT_TRUE(writeAll(staller.get(), partial));
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  sendEcho(*connection, 7, client);
  ASSERT_TRUE(client.waitForCount(1));
  EXPECT_EQ(client.events(), std::vector<std::string>{"reply 7"});
}

TEST_F(XPCConnection, TooLongSocketPathFailsCleanly) {
  const std::string longName(120, 'n');
  try {
    Listener::forService(context(), longName);
    ADD_FAILURE() << "a listener was made";
  } catch (const ListenerError& error) {
    EXPECT_EQ(error.which(), ListenerError::Case::pathTooLong);
  }
  Journal& client = journal();
  auto service = Connection::toService(context(), longName);
  service->setRemoteInterface(testInterface);
  service->setInvalidationHandler([&] { client.add("invalidated"); });
  service->resume();
  sendEcho(*service, 1, client);
  ASSERT_TRUE(client.waitForCount(2));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"invalidated", "error invalid"}));
  EXPECT_FALSE(std::filesystem::exists(runtimeDirectory() + "/" + longName.substr(0, 40)));
}

TEST_F(XPCConnection, StaleServiceSocketIsReplacedButALiveOneIsNot) {
  const std::string path = runtimeDirectory() + "/svc";
  {
    UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  Journal& server = journal();
  Journal& client = journal();
  auto listener = serve(std::make_shared<HoldingDelegate>(server, 8));
  try {
    Listener::forService(context(), "svc");
    ADD_FAILURE() << "a second listener took the live path";
  } catch (const ListenerError& error) {
    EXPECT_EQ(error.which(), ListenerError::Case::inUse);
  }
  auto connection = Connection::toService(context(), "svc");
  connection->setRemoteInterface(testInterface);
  connection->resume();
  sendEcho(*connection, 3, client);
  ASSERT_TRUE(client.waitForCount(1));
  EXPECT_EQ(client.events(), std::vector<std::string>{"reply 3"});

  std::fclose(std::fopen((runtimeDirectory() + "/file").c_str(), "w"));
  EXPECT_THROW(Listener::forService(context(), "file"), ListenerError);
  EXPECT_TRUE(std::filesystem::is_regular_file(runtimeDirectory() + "/file"));
  EXPECT_THROW(Listener::forService(context(), "../escape"), ListenerError);

  // Invalidating removes the listener's own socket file.
  listener->invalidate();
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  while (std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(XPCConnection, EveryDescriptorIsCloseOnExec) {
  Journal& server = journal();
  Journal& client = journal();
  auto listener = serve(std::make_shared<HoldingDelegate>(server, 8));
  auto anonymous = Listener::anonymous(context());
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  sendEcho(*connection, 1, client);
  ASSERT_TRUE(client.waitForCount(1));
  int sockets = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (error || target.string().rfind("socket:", 0) != 0) continue;
    const int fd = std::stoi(entry.path().filename().string());
    sockets += 1;
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
  }
  EXPECT_GE(sockets, 4);  // two listeners, both ends of the connection
  EXPECT_TRUE(isSocketPathIn(anonymous->endpoint().socketPath, runtimeDirectory()));
}

// Tests that fork: the child must not inherit a running context, so these make theirs after the fork.
class XPCProcesses : public ::testing::Test {
protected:
  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::string root_ = temporary_.path().string();
};

// A server in a child process: it holds every "hold:" call, reports each on the pipe, never replies.
pid_t forkHoldingServer(const std::string& directory, int reportFd) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  {
    Context context(RuntimeDirectory::at(directory));
    Journal journal;
    auto delegate = std::make_shared<HoldingDelegate>(journal, 8);
    auto listener = Listener::forService(context, "svc");
    listener->setDelegate(delegate);
    listener->resume();
    ::write(reportFd, "L", 1);
    for (std::size_t reported = 0;; ++reported) {
      journal.waitForCount(reported + 1);
      const auto events = journal.events();
      if (events.size() > reported && events[reported] == "held") ::write(reportFd, "H", 1);
    }
  }
}

bool readByte(int fd, char expected) {
  pollfd poll{fd, POLLIN, 0};
  char byte = 0;
  return ::poll(&poll, 1, static_cast<int>(std::chrono::milliseconds(eventually).count())) == 1 &&
         ::read(fd, &byte, 1) == 1 && byte == expected;
}

TEST_F(XPCProcesses, PeerDeathRunsTheConnectionHandlerBeforeWaitingErrors) {
  struct Case {
    const char* name;
    bool named;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"named service", true, {"interrupted", "error interrupted", "error interrupted", "late interrupted"}},
      {"endpoint", false, {"invalidated", "error invalid", "error invalid", "late invalid"}},
  };
  const std::string directory = root_ + "/run";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const UniqueFd reports(pipeFds[0]), reportWriter(pipeFds[1]);
    const pid_t server = forkHoldingServer(directory, reportWriter.get());
    ASSERT_GT(server, 0);
    ASSERT_TRUE(readByte(reports.get(), 'L'));
    {
      Context context(RuntimeDirectory::at(directory));
      Journal client;
      auto connection = c.named ? Connection::toService(context, "svc")
                                : Connection::toEndpoint(context, Endpoint{directory + "/svc"});
      connection->setRemoteInterface(testInterface);
      connection->setInvalidationHandler([&] { client.add("invalidated"); });
      connection->setInterruptionHandler([&] { client.add("interrupted"); });
      connection->resume();
      for (int i = 0; i < 2; ++i) {
        connection->send(
            "hold:reply:", {}, [&](Values) { client.add("reply"); },
            [&](Error error) { client.add("error " + nameOf(error)); });
      }
      ASSERT_TRUE(readByte(reports.get(), 'H'));
      ASSERT_TRUE(readByte(reports.get(), 'H'));
      ::kill(server, SIGKILL);
      ASSERT_EQ(::waitpid(server, nullptr, 0), server);
      ASSERT_TRUE(client.waitForCount(3));
      connection->send(
          "hold:reply:", {}, [&](Values) { client.add("late reply"); },
          [&](Error error) { client.add("late " + nameOf(error)); });
      ASSERT_TRUE(client.waitForCount(4));
      EXPECT_EQ(client.events(), c.expected);
      if (c.named) {
        connection->invalidate();
        ASSERT_TRUE(client.waitFor("invalidated"));
      }
      connection.reset();
    }
    std::filesystem::remove(directory + "/svc");
  }
}

TEST_F(XPCProcesses, ListenerSeesTheUIDOfAPeerOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "a peer of another user needs a child that can change its uid (root)";
  constexpr uid_t otherUser = 65534;
  Context context(RuntimeDirectory::at(root_ + "/run"));
  Journal server;
  // The rule the services built on this layer use: same effective user only.
  struct SameUserOnly : HoldingDelegate {
    using HoldingDelegate::HoldingDelegate;
    bool shouldAccept(Listener& listener, std::shared_ptr<Connection> connection) override {
      if (connection->peerEffectiveUID() != ::geteuid()) {
        seen.push_back(connection->peerEffectiveUID().value_or(0));
        return false;
      }
      return HoldingDelegate::shouldAccept(listener, connection);
    }
    std::vector<uid_t> seen;
  };
  auto delegate = std::make_shared<SameUserOnly>(server, 8);
  auto listener = Listener::forService(context, "svc");
  listener->setDelegate(delegate);
  listener->resume();
  const std::string path = listener->endpoint().socketPath;
  const Bytes call = frameBytes({FrameType::call, 1, "echo:reply:", {Kind::int64}, {std::int64_t{1}}});

  // Only system calls after the fork: the parent runs threads. The child's effective uid (what
  // SO_PEERCRED reports) becomes the other user's, while its file-system uid stays root's so it can
  // reach the socket in root's 0700 directory.
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);
    if (::setresuid(otherUser, otherUser, 0) != 0) ::_exit(10);
    ::setfsuid(0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(11);
    ::send(fd, call.data(), call.size(), MSG_NOSIGNAL);
    std::uint8_t byte;
    // Refused: closed without a reply (reset, as the call it sent was never read).
    const ssize_t count = ::read(fd, &byte, 1);
    ::_exit(count == 0 || (count < 0 && errno == ECONNRESET) ? 0 : count > 0 ? 12 : 13);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  listener->invalidate();
  listener.reset();
  EXPECT_TRUE(server.events().empty());
  EXPECT_EQ(delegate->asked(), 0);
  EXPECT_EQ(delegate->seen, std::vector<uid_t>{otherUser});
}

}  // namespace
}  // namespace platform::xpc

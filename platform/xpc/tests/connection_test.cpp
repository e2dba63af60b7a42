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
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
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
    {"store:reply:", {Kind::bytes}, {Kind::boolean}},
    {"fill:reply:", {Kind::int64}, {Kind::bytes}},
}};

// The server side of testInterface; "hold:" keeps its reply until released, "fill:" answers with
// as many bytes as asked for.
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
    } else if (selector == "fill:reply:") {
      reply({Bytes(static_cast<std::size_t>(std::get<std::int64_t>(arguments[0])), 0x66)});
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
    askedChanged_.notify_all();
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
  bool waitForAsked(int count) {
    std::unique_lock lock(mutex_);
    return askedChanged_.wait_for(lock, eventually, [&] { return asked_ >= count; });
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
  std::condition_variable askedChanged_;
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

// A plain listening socket at the path, for playing a server by hand.
UniqueFd plainListenerAt(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd.get(), 4) != 0) {
    return UniqueFd();
  }
  return fd;
}

// The next whole frame on a blocking socket; none when it does not come within `eventually`, the
// peer closes first, or it does not decode.
std::optional<Frame> readFrame(int fd, const std::string& runtimeDirectory) {
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  const auto readExactly = [&](std::uint8_t* into, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd poll{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&poll, 1, static_cast<int>(left.count())) != 1) return false;
      const ssize_t count = ::read(fd, into + done, size - done);
      if (count <= 0) return false;
      done += static_cast<std::size_t>(count);
    }
    return true;
  };
  std::array<std::uint8_t, frameHeaderBytes> header{};
  if (!readExactly(header.data(), header.size())) return std::nullopt;
  const auto length = frameBodyLength(header);
  if (!length) return std::nullopt;
  Bytes body(*length);
  if (!readExactly(body.data(), body.size())) return std::nullopt;
  return decodeFrameBody(body, runtimeDirectory);
}

// One echo call from a raw peer; whether the reply to it came back with the value.
bool echoOver(int fd, std::uint64_t id, std::int64_t value, const std::string& runtimeDirectory) {
  if (!writeAll(fd, frameBytes({FrameType::call, id, "echo:reply:", {Kind::int64}, {value}}))) return false;
  const auto reply = readFrame(fd, runtimeDirectory);
  return reply && *reply == Frame{FrameType::reply, id, "", {Kind::int64}, {value}};
}

// Bytes written to the socket that its reader has not read yet.
std::size_t unreadBytes(int fd) {
  int count = -1;
  if (::ioctl(fd, FIONREAD, &count) != 0 || count < 0) throw std::runtime_error("FIONREAD failed");
  return static_cast<std::size_t>(count);
}

// The sockets among this process's descriptors.
std::size_t socketDescriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.string().rfind("socket:", 0) == 0) count += 1;
  }
  return count;
}

// Closing a descriptor is not announced to anyone in the process: this waits for the count to
// settle at what is expected and returns the last count seen.
std::size_t socketDescriptorsOnceThereAre(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  std::size_t count = socketDescriptors();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    count = socketDescriptors();
  }
  return count;
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

  // The test's context with other limits; before anything is made from the first one.
  void useContext(ContextOptions options) {
    options.verifier = verifier_;
    context_.reset();
    context_.emplace(RuntimeDirectory::at(runtimeDirectory()), std::move(options));
  }

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

TEST_F(XPCConnection, SendsToAPeerThatStopsReadingFailOverloadedPastTheLimitAndTheConnectionLivesOn) {
  constexpr std::size_t limit = 256 * 1024;
  ContextOptions options;
  options.outgoingBytesLimit = limit;
  useContext(options);
  const std::string path = runtimeDirectory() + "/stalled";
  const UniqueFd plainListener = plainListenerAt(path);
  ASSERT_TRUE(plainListener);
  Journal& client = journal();
  auto connection = this->client(Endpoint{path}, client);
  connection->resume();
  // A first call answered, so that the connection is open before the peer stops reading.
  sendEcho(*connection, 1, client);
  const UniqueFd peer(::accept4(plainListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(peer);
  const auto first = readFrame(peer.get(), runtimeDirectory());
  ASSERT_TRUE(first);
  ASSERT_TRUE(writeAll(peer.get(), frameBytes({FrameType::reply, first->id, "", {Kind::int64}, {std::int64_t{1}}})));
  ASSERT_TRUE(client.waitFor("reply 1"));

  // One call at a time, each followed by a call the interface does not have, which fails at once
  // on the connection's strand behind it: when that error is in, the call was queued or refused.
  // Calls pile up only while the socket takes no more, so once one is refused the socket is full
  // and stays so.
  const Bytes payload(32 * 1024, 0x5A);
  const std::size_t frameSize = frameBytes({FrameType::call, 0, "store:reply:", {Kind::bytes}, {payload}}).size();
  const auto store = [&](const std::string& name) {
    connection->send(
        "store:reply:", {payload}, [&client, name](Values) { client.add(name + " stored"); },
        [&client, name](Error error) { client.add(name + " " + nameOf(error)); });
    connection->send("unknown:", {}, nullptr, [&client, name](Error error) { client.add(name + " behind: " + nameOf(error)); });
    return client.waitFor(name + " behind: protocol");
  };
  std::vector<std::string> expected = {"reply 1"};
  std::size_t accepted = 0;
  // Far more calls than the limit and the socket's buffer hold together.
  for (int i = 0; i < 256; ++i) {
    const std::string name = "store " + std::to_string(i);
    ASSERT_TRUE(store(name));
    const auto events = client.events();
    ASSERT_GE(events.size(), 2u);
    if (events[events.size() - 2] == name + " overloaded") {
      expected.push_back(name + " overloaded");
      expected.push_back(name + " behind: protocol");
      break;
    }
    expected.push_back(name + " behind: protocol");
    accepted += 1;
  }
  ASSERT_EQ(client.events(), expected) << "no send failed overloaded";
  // What the connection holds is what it took minus what the socket took (give or take the part of
  // one call the socket took of the call being written): up to the limit, not a call less.
  const std::size_t inSocket = unreadBytes(peer.get());
  ASSERT_GE(accepted * frameSize, inSocket);
  const std::size_t held = accepted * frameSize - inSocket;
  EXPECT_LE(held, limit);
  EXPECT_GT(held + 2 * frameSize, limit);
  // Nothing drained, so the next send fails too; the connection stays, and so do the calls it holds.
  ASSERT_TRUE(store("again"));
  expected.push_back("again overloaded");
  expected.push_back("again behind: protocol");
  EXPECT_EQ(client.events(), expected);

  // Once the peer reads, every call it was sent arrives whole and in order, and is answered.
  std::uint64_t lastID = first->id;
  for (std::size_t i = 0; i < accepted; ++i) {
    const auto frame = readFrame(peer.get(), runtimeDirectory());
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(frame->selector, "store:reply:");
    EXPECT_EQ(frame->values, Values{payload});
    EXPECT_GT(frame->id, lastID);
    lastID = frame->id;
    ASSERT_TRUE(writeAll(peer.get(), frameBytes({FrameType::reply, frame->id, "", {Kind::boolean}, {true}})));
  }
  for (std::size_t i = 0; i < accepted; ++i) {
    ASSERT_TRUE(client.waitFor("store " + std::to_string(i) + " stored"));
  }
  EXPECT_EQ(unreadBytes(peer.get()), 0u);  // none of the refused calls went out
  // And the connection takes calls again.
  connection->send(
      "store:reply:", {payload}, [&client](Values) { client.add("later stored"); },
      [&client](Error error) { client.add("later " + nameOf(error)); });
  const auto later = readFrame(peer.get(), runtimeDirectory());
  ASSERT_TRUE(later);
  ASSERT_TRUE(writeAll(peer.get(), frameBytes({FrameType::reply, later->id, "", {Kind::boolean}, {true}})));
  ASSERT_TRUE(client.waitFor("later stored"));
  const auto events = client.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "invalidated"), 0);
}

TEST_F(XPCConnection, RepliesPilingUpForAPeerThatDoesNotReadEndItsConnection) {
  constexpr std::size_t limit = 256 * 1024;
  ContextOptions options;
  options.outgoingBytesLimit = limit;
  useContext(options);
  Journal& server = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, 8);
  auto listener = serve(delegate);
  const UniqueFd peer = rawConnect(listener->endpoint().socketPath);
  ASSERT_TRUE(peer);
  // 64 calls asking for 32 KiB each: 2 MiB of replies, far more than the limit and the socket hold.
  constexpr int calls = 64;
  constexpr std::int64_t replySize = 32 * 1024;
  Bytes burst;
  for (int i = 1; i <= calls; ++i) {
    const Bytes call = frameBytes({FrameType::call, static_cast<std::uint64_t>(i), "fill:reply:", {Kind::int64}, {replySize}});
    burst.insert(burst.end(), call.begin(), call.end());
  }
  ASSERT_TRUE(writeAll(peer.get(), burst));
  ASSERT_TRUE(server.waitFor("server invalidated"));
  EXPECT_EQ(delegate->held(), 0u);

  // The peer finds what the socket took before the server gave up, whole replies in order (the
  // last perhaps cut short), then the end.
  const auto received = readUntilClosed(peer.get());
  ASSERT_TRUE(received);
  const Frame reply{FrameType::reply, 0, "", {Kind::bytes}, {Bytes(replySize, 0x66)}};
  const std::size_t replyFrameSize = frameBytes(reply).size();
  EXPECT_LT(received->size(), calls * replyFrameSize);
  std::size_t offset = 0;
  for (std::uint64_t id = 1; received->size() - offset >= replyFrameSize; ++id, offset += replyFrameSize) {
    std::array<std::uint8_t, frameHeaderBytes> header{};
    std::copy_n(received->begin() + static_cast<std::ptrdiff_t>(offset), header.size(), header.begin());
    ASSERT_EQ(frameBodyLength(header), replyFrameSize - frameHeaderBytes);
    const auto frame = decodeFrameBody(
        ByteView(received->data() + offset + frameHeaderBytes, replyFrameSize - frameHeaderBytes), runtimeDirectory());
    Frame expected = reply;
    expected.id = id;
    EXPECT_EQ(frame, expected);
  }

  // The listener goes on serving.
  Journal& client = journal();
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  sendEcho(*connection, 5, client);
  ASSERT_TRUE(client.waitFor("reply 5"));
}

TEST_F(XPCConnection, ABacklogFloodLeavesTheListenerServingAndHoldingOnlyTheConnectionsItKeeps) {
  constexpr int backlog = 4;
  constexpr std::size_t kept = 8;
  ContextOptions options;
  options.pendingConnectionLimit = backlog;
  useContext(options);
  const std::size_t socketsBefore = socketDescriptors();
  Journal& server = journal();
  auto delegate = std::make_shared<HoldingDelegate>(server, kept);
  delegates_.push_back(delegate);
  auto listener = Listener::forService(context(), "svc");
  listener->setDelegate(delegate);
  const std::string path = listener->endpoint().socketPath;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());

  // Before the listener accepts, the kernel holds its backlog (Linux admits one more) and refuses
  // every other connect at once.
  std::vector<UniqueFd> flood;
  for (int i = 0; i < 64; ++i) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      flood.push_back(std::move(fd));
    } else {
      EXPECT_EQ(errno, EAGAIN);
    }
  }
  EXPECT_GE(flood.size(), std::size_t{backlog});
  EXPECT_LE(flood.size(), std::size_t{backlog + 1});
  // While it accepts, many more wait their turn in connect().
  listener->resume();
  for (int i = 0; i < 32; ++i) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{std::chrono::seconds(eventually).count(), 0};
    ASSERT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout), 0);
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << i;
    flood.push_back(std::move(fd));
  }
  ASSERT_TRUE(delegate->waitForAsked(static_cast<int>(flood.size())));
  EXPECT_EQ(delegate->held(), kept);
  // Peers are accepted in the order they connected: the first ones fill the delegate, every later
  // one is closed, and the process keeps no descriptor of it.
  for (std::size_t i = kept; i < flood.size(); ++i) {
    pollfd poll{flood[i].get(), POLLIN, 0};
    char byte = 0;
    ASSERT_EQ(::poll(&poll, 1, static_cast<int>(std::chrono::milliseconds(eventually).count())), 1) << i;
    EXPECT_EQ(::read(flood[i].get(), &byte, 1), 0) << i;
  }
  for (std::size_t i = 0; i < kept; ++i) {
    pollfd poll{flood[i].get(), POLLIN, 0};
    EXPECT_EQ(::poll(&poll, 1, 0), 0) << i;
  }
  // The listener's socket, this test's end of every flood socket, the server's end of each one kept.
  EXPECT_EQ(socketDescriptorsOnceThereAre(socketsBefore + 1 + flood.size() + kept),
            socketsBefore + 1 + flood.size() + kept);

  // When the flood goes, its connections go with it, and a client that behaves is served.
  flood.clear();
  ASSERT_TRUE(server.waitForCount(kept));
  Journal& client = journal();
  auto connection = this->client(listener->endpoint(), client);
  connection->resume();
  sendEcho(*connection, 9, client);
  ASSERT_TRUE(client.waitFor("reply 9"));
  EXPECT_EQ(client.events(), std::vector<std::string>{"reply 9"});
  EXPECT_EQ(delegate->held(), 1u);
  EXPECT_EQ(socketDescriptorsOnceThereAre(socketsBefore + 3), socketsBefore + 3);
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

// A listener in a child process whose descriptors can be used up on command: 'E' lowers its
// descriptor limit to the descriptors it has, so that the next one it opens fails with EMFILE; 'R'
// gives the limit back. Each command is confirmed on the report pipe with its letter, in lower
// case when it could not be carried out; the child ends when the command pipe closes.
pid_t forkListenerOutOfDescriptorsOnCommand(const std::string& directory, int commandFd, int reportFd,
                                             std::initializer_list<int> parentEnds) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  for (const int fd : parentEnds) ::close(fd);
  // One I/O thread: a back-off that held it would hold up every connection of the child.
  ContextOptions options;
  options.ioThreads = 1;
  Context context(RuntimeDirectory::at(directory), options);
  Journal journal;
  auto delegate = std::make_shared<HoldingDelegate>(journal, 8);
  auto listener = Listener::forService(context, "svc");
  listener->setDelegate(delegate);
  listener->resume();
  rlimit original{};
  ::getrlimit(RLIMIT_NOFILE, &original);
  ::write(reportFd, "L", 1);
  char command = 0;
  while (::read(commandFd, &command, 1) == 1) {
    if (command == 'E') {
      const int lowestFree = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 0);
      ::close(lowestFree);
      const rlimit lowered{static_cast<rlim_t>(lowestFree), original.rlim_max};
      const bool exhausted = lowestFree >= 0 && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0 &&
                             ::fcntl(reportFd, F_DUPFD_CLOEXEC, 0) == -1 && errno == EMFILE;
      ::write(reportFd, exhausted ? "E" : "e", 1);
    } else if (command == 'R') {
      ::write(reportFd, ::setrlimit(RLIMIT_NOFILE, &original) == 0 ? "R" : "r", 1);
    }
  }
  // Gone without unwinding: handlers of the running context still refer to the journal.
  ::_exit(0);
}

// User and system time the process has used so far.
std::chrono::milliseconds cpuTimeOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The fields after the command name, which may hold anything, start after its last ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 14; ++i) fields >> field;  // state ... cmajflt
  long long user = 0;
  long long system = 0;
  fields >> user >> system;
  if (!fields) throw std::runtime_error("cannot read the process's times");
  return std::chrono::milliseconds((user + system) * 1000 / ::sysconf(_SC_CLK_TCK));
}

TEST_F(XPCProcesses, ListenerOutOfDescriptorsBacksOffAndAcceptsOnceItHasThemAgain) {
  const std::string directory = root_ + "/run";
  int commandPipe[2];
  int reportPipe[2];
  ASSERT_EQ(::pipe2(commandPipe, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(reportPipe, O_CLOEXEC), 0);
  UniqueFd commands(commandPipe[1]);
  const UniqueFd commandReader(commandPipe[0]), reports(reportPipe[0]), reportWriter(reportPipe[1]);
  const pid_t child =
      forkListenerOutOfDescriptorsOnCommand(directory, commandPipe[0], reportPipe[1], {commandPipe[1], reportPipe[0]});
  ASSERT_GT(child, 0);
  ASSERT_TRUE(readByte(reports.get(), 'L'));
  const std::string path = directory + "/svc";
  const auto command = [&](char letter) { return ::write(commands.get(), &letter, 1) == 1 && readByte(reports.get(), letter); };

  // A peer connected before is served all along.
  const UniqueFd early = rawConnect(path);
  ASSERT_TRUE(early);
  ASSERT_TRUE(echoOver(early.get(), 1, 1, directory));
  ASSERT_TRUE(command('E'));
  // This one waits in the backlog: accepting it needs a descriptor the listener cannot have.
  const UniqueFd waiting = rawConnect(path);
  ASSERT_TRUE(waiting);
  ASSERT_TRUE(writeAll(waiting.get(), frameBytes({FrameType::call, 1, "echo:reply:", {Kind::int64}, {std::int64_t{2}}})));
  ASSERT_TRUE(echoOver(early.get(), 2, 3, directory));

  // The waiting peer keeps the listening socket readable: a listener that tried again at once would
  // turn that into failed accepts back to back and use a whole core. This is the window in which
  // the child is watched, not a wait for anything.
  const auto cpuBefore = cpuTimeOf(child);
  const auto watchStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  const auto watched = std::chrono::steady_clock::now() - watchStart;
  const auto used = cpuTimeOf(child) - cpuBefore;
  EXPECT_LT(used, watched / 4) << "the listener spins while it cannot accept";
  pollfd unanswered{waiting.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&unanswered, 1, 0), 0);
  ASSERT_TRUE(echoOver(early.get(), 3, 4, directory));

  // With descriptors again, it accepts the peer that waited and answers it, at the next try.
  ASSERT_TRUE(command('R'));
  const auto recovered = std::chrono::steady_clock::now();
  const auto reply = readFrame(waiting.get(), directory);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, (Frame{FrameType::reply, 1, "", {Kind::int64}, {std::int64_t{2}}}));
  EXPECT_LT(std::chrono::steady_clock::now() - recovered, 10s);
  const UniqueFd later = rawConnect(path);
  ASSERT_TRUE(later);
  ASSERT_TRUE(echoOver(later.get(), 1, 5, directory));

  commands.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace platform::xpc

#include "platform/tokenkit/extension/extension_main.hpp"

#include "platform/runtime/testing/run_until.hpp"
#include "platform/tokenkit/extension/extension_message.hpp"
#include "platform/tokenkit/extension/message_channel.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::tokenkit {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
namespace request = extension_request;
using platform::runtime::testing::hangLimit;

// What the fake objects saw, in order, and the calls that are blocked in signData right now.
struct Record {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  std::optional<std::string> passwordSeen;
  bool passwordLeftInOperation = false;
  int blocked = 0;
  int mostBlocked = 0;
  bool releaseBlocked = false;

  void note(std::string event) {
    const std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  std::vector<std::string> snapshot() {
    const std::lock_guard lock(mutex);
    return events;
  }
};

class FakeOperation final : public PasswordAuthOperation {
public:
  explicit FakeOperation(std::shared_ptr<Record> record) : record_(std::move(record)) {}
  ~FakeOperation() override {
    {
      const std::lock_guard lock(record_->mutex);
      record_->passwordLeftInOperation = password.has_value();
    }
    record_->note("operation released");
  }
  Result<void> finish() override {
    {
      const std::lock_guard lock(record_->mutex);
      record_->passwordSeen = password;
    }
    record_->note("finish");
    // Left where it is on purpose: the service must not leave it there.
    return password == "123456" ? Result<void>() : Result<void>(Error(-5, "Refused."s));
  }

private:
  std::shared_ptr<Record> record_;
};

class FakeSession final : public TokenSession {
public:
  FakeSession(std::shared_ptr<Token> token, std::shared_ptr<Record> record)
      : TokenSession(std::move(token)), record_(std::move(record)) {}
  ~FakeSession() override { record_->note("session released"); }

  bool supports(Operation operation, const ObjectID& key, const KeyAlgorithm& algorithm) override {
    return operation == Operation::signData && key == ObjectID("key"s) && algorithm.id == "alg";
  }
  Result<Bytes> signData(const Bytes& data, const ObjectID&, const KeyAlgorithm& algorithm) override {
    if (algorithm.id == "block") {
      std::unique_lock lock(record_->mutex);
      record_->mostBlocked = std::max(record_->mostBlocked, ++record_->blocked);
      record_->changed.notify_all();
      record_->changed.wait(lock, [this] { return record_->releaseBlocked; });
      --record_->blocked;
    }
    if (algorithm.id == "throw") throw std::runtime_error("driver failure");
    Bytes signature = data;
    std::reverse(signature.begin(), signature.end());
    return signature;
  }
  Result<std::unique_ptr<AuthOperation>> beginAuth(Operation, const Constraint& constraint) override {
    if (constraint == Constraint(true)) return std::unique_ptr<AuthOperation>();
    if (constraint == Constraint(false)) return std::unique_ptr<AuthOperation>(std::make_unique<AuthOperation>());
    return std::unique_ptr<AuthOperation>(std::make_unique<FakeOperation>(record_));
  }

private:
  std::shared_ptr<Record> record_;
};

class FakeToken final : public Token, public std::enable_shared_from_this<FakeToken> {
public:
  FakeToken(std::shared_ptr<TokenDriver> driver, std::string instanceID, std::shared_ptr<Record> record)
      : Token(std::move(driver), std::move(instanceID)), record_(std::move(record)) {}
  ~FakeToken() override { record_->note("token released"); }
  Result<std::shared_ptr<TokenSession>> createSession() override {
    return std::shared_ptr<TokenSession>(std::make_shared<FakeSession>(shared_from_this(), record_));
  }

private:
  std::shared_ptr<Record> record_;
};

class FakeDriver final : public TokenDriver, public std::enable_shared_from_this<FakeDriver> {
public:
  explicit FakeDriver(std::shared_ptr<Record> record) : record_(std::move(record)) {}
  Result<std::shared_ptr<Token>> tokenForConfiguration(const TokenConfigurationSnapshot& configuration) override {
    if (!configuration.configurationData) return Error(-8);
    return std::shared_ptr<Token>(std::make_shared<FakeToken>(shared_from_this(), configuration.instanceID, record_));
  }
  void terminateToken(const std::shared_ptr<Token>& token) override { record_->note("terminate " + token->instanceID()); }

private:
  std::shared_ptr<Record> record_;
};

// The service on one end of a socket pair, run on a thread; the test is the host on the other.
class ExtensionServiceTest : public ::testing::Test {
protected:
  void start(std::size_t concurrentCalls = ExtensionService::defaultConcurrentCalls) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    host_ = ends[0];
    extension_ = ends[1];
    served_ = std::async(std::launch::async, [this, concurrentCalls] {
      std::optional<ExtensionService> service;
      service.emplace(extension_, std::make_shared<FakeDriver>(record), concurrentCalls);
      const bool closed = service->serve();
      service.reset();
      record->note("service ended");
      return closed;
    });
  }

  void TearDown() override {
    if (host_ >= 0) {
      ::shutdown(host_, SHUT_RDWR);
      if (served_.valid()) served_.wait();
      ::close(host_);
    }
    if (extension_ >= 0) ::close(extension_);
  }

  void send(const ExtensionRequest& request) {
    const auto message = encodeExtensionRequest(request);
    ASSERT_TRUE(message);
    ASSERT_TRUE(sendPacket(host_, *message));
  }

  ExtensionReply receive() {
    const auto packet = receivePacket(host_, maximumExtensionMessageSize);
    if (packet.status != ReceivedPacket::Status::message) throw std::runtime_error("no reply");
    auto reply = decodeExtensionReply(packet.bytes);
    if (!reply) throw std::runtime_error("not a reply");
    return std::move(*reply);
  }

  ExtensionReply call(const ExtensionRequest& request) {
    send(request);
    auto reply = receive();
    EXPECT_EQ(reply.id, request.id);
    EXPECT_EQ(reply.call, request.call());
    return reply;
  }

  ExtensionObject object(const ExtensionRequest& request) {
    auto reply = call(request);
    const auto& made = std::get<Result<ExtensionObject>>(reply.body);
    if (!made) throw std::runtime_error("refused");
    return made.value();
  }

  // Whether the service ended and says how: true for a close, false for a refused message.
  std::optional<bool> ended() {
    if (served_.wait_for(hangLimit) != std::future_status::ready) return std::nullopt;
    return served_.get();
  }

  std::shared_ptr<Record> record = std::make_shared<Record>();
  int host_ = -1;
  int extension_ = -1;
  std::future<bool> served_;
};

const TokenConfigurationSnapshot configuration{"a1", bytesOf("{}"), {}};

TEST_F(ExtensionServiceTest, ServesTheDriversObjectsByHandle) {
  start();
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});

  EXPECT_EQ(std::get<Result<bool>>(call({3, request::Supports{session, Operation::signData, "key"s, {"alg"}}}).body).value(), true);
  EXPECT_EQ(std::get<Result<bool>>(call({4, request::Supports{session, Operation::signData, Bytes{1}, {"alg"}}}).body).value(), false);
  EXPECT_EQ(std::get<Result<Bytes>>(call({5, request::SignData{session, Bytes{1, 2, 3}, "key"s, {"alg"}}}).body).value(),
            (Bytes{3, 2, 1}));

  const auto none = std::get<Result<BegunAuth>>(call({6, request::BeginAuth{session, Operation::signData, Constraint(true)}}).body);
  EXPECT_EQ(none.value().kind, AuthOperationKind::none);
  const auto plain = std::get<Result<BegunAuth>>(call({7, request::BeginAuth{session, Operation::signData, Constraint(false)}}).body);
  EXPECT_EQ(plain.value().kind, AuthOperationKind::plain);
  EXPECT_TRUE(std::get<Result<void>>(call({8, request::Finish{plain.value().operation, std::nullopt}}).body));
  const auto password = std::get<Result<BegunAuth>>(call({9, request::BeginAuth{session, Operation::signData, Constraint("c"s)}}).body);
  ASSERT_EQ(password.value().kind, AuthOperationKind::password);
  EXPECT_NE(password.value().operation, plain.value().operation);

  // The password reaches the operation, and is gone from it once it finished.
  const auto refused = std::get<Result<void>>(call({10, request::Finish{password.value().operation, "654321"s}}).body);
  EXPECT_EQ(refused.error(), Error(-5, "Refused."s));
  const auto finished = std::get<Result<void>>(call({11, request::Finish{password.value().operation, "123456"s}}).body);
  EXPECT_TRUE(finished);
  EXPECT_EQ(record->passwordSeen, std::optional<std::string>("123456"));

  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({12, request::ReleaseOperation{password.value().operation}}).body));
  EXPECT_FALSE(record->passwordLeftInOperation);
  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({13, request::ReleaseSession{session}}).body));
  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({14, request::TerminateToken{token}}).body));
  EXPECT_EQ(record->snapshot(), (std::vector<std::string>{"finish", "finish", "operation released", "session released",
                                                           "terminate a1", "token released"}));
}

TEST_F(ExtensionServiceTest, HandlesThatNameNothingAreRefusedNotTrusted) {
  start();
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});
  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({3, request::ReleaseSession{session}}).body));

  // A released session, a token handle used as a session, a handle never given.
  EXPECT_EQ(std::get<Result<Bytes>>(call({4, request::SignData{session, {}, "key"s, {"alg"}}}).body).error().code, -2);
  EXPECT_EQ(std::get<Result<bool>>(call({5, request::Supports{token, Operation::signData, "key"s, {"alg"}}}).body).error().code, -2);
  EXPECT_EQ(std::get<Result<ExtensionObject>>(call({6, request::CreateSession{99}}).body).error().code, -7);
  EXPECT_EQ(std::get<Result<void>>(call({7, request::Finish{99, "123456"s}}).body).error().code, -2);
  EXPECT_EQ(std::get<Result<BegunAuth>>(call({8, request::BeginAuth{99, Operation::signData, Constraint(true)}}).body).error().code, -2);
  // Releasing twice, or what never was, changes nothing.
  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({9, request::ReleaseSession{session}}).body));
  EXPECT_TRUE(std::holds_alternative<Acknowledged>(call({10, request::TerminateToken{99}}).body));
  // A driver's refusal and a driver that throws each fail only their call.
  EXPECT_EQ(std::get<Result<ExtensionObject>>(call({11, request::TokenForConfiguration{{"b2", std::nullopt, {}}}}).body).error(),
            Error(-8));
  const auto again = object({12, request::CreateSession{token}});
  EXPECT_EQ(std::get<Result<Bytes>>(call({13, request::SignData{again, {}, "key"s, {"throw"}}}).body).error().code, -2);
  EXPECT_TRUE(std::get<Result<Bytes>>(call({14, request::SignData{again, {}, "key"s, {"alg"}}}).body));
}

// The largest message is served; whatever is not a request ends the connection and the service,
// and the host's end sees it closed.
TEST_F(ExtensionServiceTest, AMessageOfTheLimitIsServed) {
  start();
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});
  const auto empty = encodeExtensionRequest({3, request::SignData{session, {}, "key"s, {"alg"}}});
  const Bytes data(maximumExtensionMessageSize - empty->size(), 7);
  ASSERT_EQ(encodeExtensionRequest({3, request::SignData{session, data, "key"s, {"alg"}}})->size(), maximumExtensionMessageSize);
  // The reply carries the data back, so this is also the largest reply.
  EXPECT_EQ(std::get<Result<Bytes>>(call({3, request::SignData{session, data, "key"s, {"alg"}}}).body).value(), data);
}

struct BrokenPacket {
  std::string name;
  std::function<void(int socket)> send;
};

TEST_F(ExtensionServiceTest, WhatIsNotARequestEndsTheConnection) {
  const auto sign = *encodeExtensionRequest({1, request::SignData{1, Bytes{1}, "key"s, {"alg"}}});
  const std::vector<BrokenPacket> cases = {
      {"garbage", [](int socket) { sendPacket(socket, Bytes{0xff, 0xff}); }},
      {"a request cut short", [&](int socket) { sendPacket(socket, Bytes(sign.begin(), sign.end() - 1)); }},
      {"a reply", [](int socket) { sendPacket(socket, *encodeExtensionReply({1, ExtensionCall::terminateToken, Acknowledged{}})); }},
      {"one byte over the limit", [](int socket) { sendPacket(socket, Bytes(maximumExtensionMessageSize + 1, 1)); }},
      {"a request with a descriptor",
       [&](int socket) {
         iovec part{const_cast<std::uint8_t*>(sign.data()), sign.size()};
         alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
         msghdr header{};
         header.msg_iov = &part;
         header.msg_iovlen = 1;
         header.msg_control = control;
         header.msg_controllen = sizeof(control);
         cmsghdr* descriptor = CMSG_FIRSTHDR(&header);
         descriptor->cmsg_level = SOL_SOCKET;
         descriptor->cmsg_type = SCM_RIGHTS;
         descriptor->cmsg_len = CMSG_LEN(sizeof(int));
         const int passed = socket;
         std::memcpy(CMSG_DATA(descriptor), &passed, sizeof(int));
         ::sendmsg(socket, &header, MSG_NOSIGNAL);
       }},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    record = std::make_shared<Record>();
    start();
    testCase.send(host_);
    EXPECT_EQ(ended(), std::optional<bool>(false));
    EXPECT_EQ(receivePacket(host_, maximumExtensionMessageSize).status, ReceivedPacket::Status::closed);
    TearDown();
    host_ = extension_ = -1;
  }
}

// When the host closes, the service ends and lets go of what the host still held: operations
// before sessions before tokens.
TEST_F(ExtensionServiceTest, TheHostClosingReleasesEverythingInOrder) {
  start();
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});
  call({3, request::BeginAuth{session, Operation::signData, Constraint("c"s)}});
  ::shutdown(host_, SHUT_RDWR);
  EXPECT_EQ(ended(), std::optional<bool>(true));
  EXPECT_EQ(record->snapshot(),
            (std::vector<std::string>{"operation released", "session released", "token released", "service ended"}));
}

// Calls run side by side, up to the limit and no further: with room for two, three blocking calls
// never run three at once, and every one is answered once the first ones end.
TEST_F(ExtensionServiceTest, CallsRunSideBySideUpToTheLimit) {
  start(2);
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});
  for (std::uint64_t id = 10; id < 13; ++id) send({id, request::SignData{session, Bytes{1}, "key"s, {"block"}}});
  {
    std::unique_lock lock(record->mutex);
    ASSERT_TRUE(record->changed.wait_for(lock, hangLimit, [this] { return record->blocked == 2; }));
  }
  // Time for a third call to start if the limit let it; it must not.
  std::this_thread::sleep_for(200ms);
  // A call that does not block waits its turn too: the service reads nothing more until a slot is
  // free, so it is not answered.
  send({20, request::SignData{session, Bytes{2}, "key"s, {"alg"}}});
  std::this_thread::sleep_for(100ms);
  std::uint8_t byte = 0;
  EXPECT_EQ(::recv(host_, &byte, 1, MSG_DONTWAIT | MSG_PEEK), -1);
  {
    const std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->mostBlocked, 2);
    record->releaseBlocked = true;
    record->changed.notify_all();
  }
  std::vector<std::uint64_t> answered;
  for (int i = 0; i < 4; ++i) answered.push_back(receive().id);
  std::sort(answered.begin(), answered.end());
  EXPECT_EQ(answered, (std::vector<std::uint64_t>{10, 11, 12, 20}));
  EXPECT_EQ(record->mostBlocked, 2);
}

TEST_F(ExtensionServiceTest, ABurstAfterQuietCallsStillRunsSideBySide) {
  start(4);
  const auto token = object({1, request::TokenForConfiguration{configuration}});
  const auto session = object({2, request::CreateSession{token}});
  // Calls that ended leave their threads waiting for the next; a burst must not queue up behind
  // those few.
  for (std::uint64_t id = 3; id < 6; ++id) {
    send({id, request::SignData{session, Bytes{2}, "key"s, {"alg"}}});
    EXPECT_EQ(receive().id, id);
  }
  for (std::uint64_t id = 10; id < 13; ++id) send({id, request::SignData{session, Bytes{1}, "key"s, {"block"}}});
  {
    std::unique_lock lock(record->mutex);
    const bool sideBySide = record->changed.wait_for(lock, hangLimit, [this] { return record->blocked == 3; });
    record->releaseBlocked = true;
    record->changed.notify_all();
    ASSERT_TRUE(sideBySide) << record->blocked << " of 3 calls ran at once";
  }
  std::vector<std::uint64_t> answered;
  for (int i = 0; i < 3; ++i) answered.push_back(receive().id);
  std::sort(answered.begin(), answered.end());
  EXPECT_EQ(answered, (std::vector<std::uint64_t>{10, 11, 12}));
}

}  // namespace
}  // namespace platform::tokenkit

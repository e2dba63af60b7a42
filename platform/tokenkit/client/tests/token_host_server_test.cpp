#include "platform/tokenkit/client/token_host_server.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/tokenkit/client/token_host_client.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform::tokenkit {
namespace {

using foundation::UniqueFd;
using platform::runtime::testing::hangLimit;

struct SignCall {
  TokenClient client;
  std::string keyObjectID;
  std::string algorithmID;
  Bytes digest;
};

// Stands for the token host: lists the tokens it is given, answers each signature as scripted,
// and, while told to hold them, keeps every signature waiting until released. Records what it
// was asked and the order of what happened.
class FakeHostService final : public TokenHostService {
public:
  std::vector<HostedToken> tokens() override {
    const std::lock_guard lock(mutex_);
    return tokens_;
  }

  Result<Bytes> sign(const TokenClient& client, const std::string& keyObjectID, const std::string& algorithmID,
                     const Bytes& digest) override {
    std::unique_lock lock(mutex_);
    calls_.push_back({client, keyObjectID, algorithmID, digest});
    ++underWay_;
    peak_ = std::max(peak_, underWay_);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !holding_ || releases_ > 0; });
    if (holding_) --releases_;
    --underWay_;
    events_.push_back("returned " + std::to_string(client.id));
    changed_.notify_all();
    return answer_(SignCall{client, keyObjectID, algorithmID, digest});
  }

  void clientGone(std::uint64_t clientID) override {
    const std::lock_guard lock(mutex_);
    gone_.push_back(clientID);
    events_.push_back("gone " + std::to_string(clientID));
    changed_.notify_all();
  }

  void setTokens(std::vector<HostedToken> tokens) {
    const std::lock_guard lock(mutex_);
    tokens_ = std::move(tokens);
  }
  void setAnswer(std::function<Result<Bytes>(const SignCall&)> answer) {
    const std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }
  void hold() {
    const std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void release(std::size_t count) {
    const std::lock_guard lock(mutex_);
    releases_ += count;
    changed_.notify_all();
  }
  void releaseAll() {
    const std::lock_guard lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }

  bool waitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, hangLimit, [&] { return calls_.size() >= count; });
  }
  bool waitForGone(std::uint64_t clientID) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, hangLimit,
                             [&] { return std::find(gone_.begin(), gone_.end(), clientID) != gone_.end(); });
  }
  bool waitForGoneCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, hangLimit, [&] { return gone_.size() >= count; });
  }

  std::vector<SignCall> calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::uint64_t> gone() const {
    const std::lock_guard lock(mutex_);
    return gone_;
  }
  std::vector<std::string> events() const {
    const std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t peak() const {
    const std::lock_guard lock(mutex_);
    return peak_;
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HostedToken> tokens_;
  std::function<Result<Bytes>(const SignCall&)> answer_ = [](const SignCall& call) { return Result<Bytes>(call.digest); };
  bool holding_ = false;
  std::size_t releases_ = 0;
  std::size_t underWay_ = 0;
  std::size_t peak_ = 0;
  std::vector<SignCall> calls_;
  std::vector<std::uint64_t> gone_;
  std::vector<std::string> events_;
};

// A runtime directory of its own under /tmp, so that socket paths fit their address.
class Runtime {
public:
  Runtime() : directory_(xpc::RuntimeDirectory::at(temporary_.path().string())) {}
  const xpc::RuntimeDirectory& directory() const { return directory_; }
  std::string socketPath() const { return tokenHostSocketPath(directory_); }

private:
  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  xpc::RuntimeDirectory directory_;
};

// A client that writes whatever bytes it is given and reads what comes back, to act as a peer that
// does not keep to the protocol.
class RawPeer {
public:
  explicit RawPeer(const std::string& path) : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect to " + path);
    }
    // Reads give up at the hang limit, so that a server that never answers fails the test.
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(hangLimit).count(), 0};
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }

  // False when the server had ended the connection already.
  bool write(const Bytes& bytes) {
    return ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  void endWriting() { ::shutdown(socket_.get(), SHUT_WR); }
  void close() { socket_.reset(); }

  // The next answer, or none at the end of the connection.
  std::optional<TokenHostAnswer> read() {
    std::array<std::uint8_t, tokenHostMessageHeaderBytes> header{};
    if (!readExactly(header.data(), header.size())) return std::nullopt;
    const auto length = tokenHostMessageBodyLength(header);
    if (!length) throw std::runtime_error("server sent a bad header");
    Bytes body(*length);
    if (!readExactly(body.data(), body.size())) throw std::runtime_error("server's answer cut short");
    auto answer = decodeTokenHostAnswer(body);
    if (!answer) throw std::runtime_error("server's answer malformed");
    return answer;
  }

  // True when the server ended the connection: what it sent before is read and dropped.
  bool endsWithoutAnswer() {
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
      const ssize_t count = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
      if (count == 0) return true;
      if (count < 0) return errno == ECONNRESET;
    }
  }

private:
  bool readExactly(std::uint8_t* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t count = ::recv(socket_.get(), into + done, size - done, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && errno != ECONNRESET) throw std::runtime_error("read timed out");
      if (count <= 0) {
        if (done == 0) return false;
        throw std::runtime_error("connection ended inside an answer");
      }
      done += static_cast<std::size_t>(count);
    }
    return true;
  }

  UniqueFd socket_;
};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

Bytes message(const TokenHostRequest& request) { return *encodeTokenHostMessage(request); }
Bytes signMessage(std::uint64_t id, std::string key = "key:1") {
  return message(TokenHostRequest{id, SignDigestRequest{std::move(key), "alg", Bytes{1, 2, 3}}});
}
Bytes listMessage(std::uint64_t id) { return message(TokenHostRequest{id, ListTokensRequest{}}); }

std::string ownProgramName() { return std::filesystem::read_symlink("/proc/self/exe").filename().string(); }

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Without the listing's own descriptor, closed by the time this returns.
std::set<int> openDescriptors() {
  std::set<int> listed;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    listed.insert(std::stoi(entry.path().filename().string()));
  }
  std::set<int> open;
  for (const int descriptor : listed) {
    if (::fcntl(descriptor, F_GETFD) >= 0) open.insert(descriptor);
  }
  return open;
}

HostedToken sampleToken(std::string instanceID) {
  KeychainKey key;
  key.objectID = "key:" + instanceID;
  key.label = "Signing key";
  key.certificateDER = Bytes(600, 0x30);
  key.canSign = true;
  key.constraints = {{Operation::signData, Constraint{std::string("corvanta.totp.per-request.v1")}},
                     {Operation::decryptData, Constraint{false}}};
  KeychainCertificate certificate{"cert:" + instanceID, "Certificate", Bytes(600, 0x30)};
  return HostedToken{"ro.corvanta.sign.development.Token", std::move(instanceID), {certificate, key}};
}

class TokenHostServerTest : public ::testing::Test {
protected:
  void start(TokenHostServerOptions options = {}) { server_.emplace(runtime_.directory(), service_, options); }
  TokenHostClient client() const { return TokenHostClient::connect(runtime_.socketPath()); }

  // The client's id as the service saw it in a signature it asked for.
  std::uint64_t idOf(TokenHostClient& client) {
    const auto before = service_.calls().size();
    EXPECT_TRUE(client.sign("key:probe", "alg", {}));
    const auto calls = service_.calls();
    if (calls.size() <= before) throw std::runtime_error("no call recorded");
    return calls.back().client.id;
  }

  Runtime runtime_;
  FakeHostService service_;
  // Declared last: gone before the service it calls.
  std::optional<TokenHostServer> server_;
};

TEST_F(TokenHostServerTest, ListAndSignCarryTheServicesValuesAndNameEachClientAfterItsProgram) {
  service_.setTokens({sampleToken("0123"), HostedToken{"other.driver", "4567", {}}});
  service_.setAnswer([](const SignCall& call) { return Result<Bytes>(Bytes(call.digest.rbegin(), call.digest.rend())); });
  start();
  auto first = client();
  auto second = client();

  const auto tokens = first.list();
  ASSERT_TRUE(tokens);
  EXPECT_EQ(tokens.value(), service_.tokens());

  const Bytes digest{1, 2, 3, 4};
  const auto signature = first.sign("key:0123", "algid:sign:ECDSA:digest-X962:SHA256", digest);
  ASSERT_TRUE(signature);
  EXPECT_EQ(signature.value(), (Bytes{4, 3, 2, 1}));
  ASSERT_TRUE(second.sign("key:0123", "algid:sign:RSA:digest-PKCS1v15:SHA512", Bytes(64, 9)));

  const auto calls = service_.calls();
  ASSERT_EQ(calls.size(), 2U);
  EXPECT_EQ(calls[0].keyObjectID, "key:0123");
  EXPECT_EQ(calls[0].algorithmID, "algid:sign:ECDSA:digest-X962:SHA256");
  EXPECT_EQ(calls[0].digest, digest);
  EXPECT_EQ(calls[1].algorithmID, "algid:sign:RSA:digest-PKCS1v15:SHA512");
  EXPECT_EQ(calls[1].digest, Bytes(64, 9));
  for (const auto& call : calls) EXPECT_EQ(call.client.name, ownProgramName());
  // Each connection is a client of its own, and the same one for all its requests.
  EXPECT_NE(calls[0].client.id, calls[1].client.id);
  EXPECT_EQ(idOf(first), calls[0].client.id);
}

TEST_F(TokenHostServerTest, EveryTokenErrorReachesTheClientUnchanged) {
  const std::vector<Error> errors = {
      Error(ErrorCode::notImplemented),
      Error(ErrorCode::communicationError, std::string("The token session is no longer available.")),
      Error(ErrorCode::communicationError),
      Error(ErrorCode::corruptedData),
      Error(ErrorCode::canceledByUser),
      Error(ErrorCode::authenticationFailed, std::string("The code is not valid.")),
      Error(ErrorCode::objectNotFound),
      Error(ErrorCode::tokenNotFound),
      Error(ErrorCode::badParameter),
      Error(ErrorCode::authenticationNeeded),
      // An empty text is a text.
      Error(ErrorCode::communicationError, std::string()),
      Error(12345, std::string("a code clients do not know")),
      Error(INT_MIN),
  };
  service_.setAnswer([&](const SignCall& call) { return Result<Bytes>(errors.at(call.digest.at(0))); });
  start();
  auto host = client();
  for (std::size_t i = 0; i < errors.size(); ++i) {
    const auto result = host.sign("key:1", "alg", {static_cast<std::uint8_t>(i)});
    ASSERT_FALSE(result) << i;
    EXPECT_EQ(result.error(), errors[i]) << i;
    EXPECT_EQ(result.error().description.has_value(), errors[i].description.has_value()) << i;
  }
}

TEST_F(TokenHostServerTest, AnswersTheProtocolCannotCarryBecomeACommunicationErrorWithText) {
  const std::vector<std::pair<const char*, Result<Bytes>>> rows = {
      {"a signature over 64 KiB", Result<Bytes>(Bytes(70000, 1))},
      {"an error text that is not UTF-8", Result<Bytes>(Error(ErrorCode::authenticationFailed, std::string("\xFF")))},
  };
  std::size_t row = 0;
  service_.setAnswer([&](const SignCall&) { return rows.at(row).second; });
  HostedToken large{"d", "i", {KeychainCertificate{"cert", "label", Bytes(70000, 0x30)}}};
  service_.setTokens({large});
  start();
  auto host = client();
  for (; row < rows.size(); ++row) {
    const auto result = host.sign("key:1", "alg", {1});
    ASSERT_FALSE(result) << rows[row].first;
    EXPECT_EQ(result.error().code, static_cast<int>(ErrorCode::communicationError)) << rows[row].first;
    EXPECT_TRUE(result.error().description) << rows[row].first;
  }
  const auto tokens = host.list();
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, static_cast<int>(ErrorCode::communicationError));
  EXPECT_TRUE(tokens.error().description);
}

TEST_F(TokenHostServerTest, AClientOfAnotherUserIsRefusedBeforeItIsHeard) {
  TokenHostServerOptions options;
  options.ownEffectiveUID = ::geteuid() + 1;
  start(options);
  auto stranger = client();
  try {
    (void)stranger.sign("key:1", "alg", {1});
    FAIL() << "the stranger was served";
  } catch (const TokenHostClientError& error) {
    EXPECT_EQ(error.which(), TokenHostClientError::Case::connectionLost);
  }
  // A refused peer is never a client: nothing is asked for it and nothing released.
  server_.reset();
  EXPECT_TRUE(service_.calls().empty());
  EXPECT_TRUE(service_.gone().empty());
}

TEST_F(TokenHostServerTest, AMessageOutOfFormEndsThatConnectionOnlyAndItsClientIsGone) {
  Bytes oversizedHeader = {0x00, 0x01, 0x00, 0x00};  // 65 536 bytes announced
  Bytes sign = signMessage(1);
  Bytes digestTooLong = signMessage(1);
  // The digest's length byte is the last before the three digest bytes; 65 with 65 bytes after it.
  digestTooLong.resize(digestTooLong.size() - 4);
  digestTooLong.push_back(65);
  digestTooLong.insert(digestTooLong.end(), 65, 0x01);
  const auto bodyLength = digestTooLong.size() - tokenHostMessageHeaderBytes;
  for (std::size_t i = 0; i < tokenHostMessageHeaderBytes; ++i) {
    digestTooLong[i] = static_cast<std::uint8_t>(bodyLength >> (8 * (tokenHostMessageHeaderBytes - 1 - i)));
  }
  Bytes trailing = listMessage(1);
  trailing[3] += 1;
  trailing.push_back(0);

  struct Case {
    const char* name;
    Bytes bytes;
    bool endsWriting;  // the peer closes its side after the bytes
  };
  const std::vector<Case> cases = {
      {"zero length", {0, 0, 0, 0}, false},
      {"oversized, ended at its header", oversizedHeader, false},
      {"unknown type", {0, 0, 0, 9, 7, 0, 0, 0, 0, 0, 0, 0, 1}, false},
      {"digest of 65 bytes", digestTooLong, false},
      {"trailing byte", trailing, false},
      {"truncated body", Bytes(sign.begin(), sign.end() - 1), true},
      {"truncated header", Bytes(sign.begin(), sign.begin() + 2), true},
  };
  start();
  // A client that keeps to the protocol, connected before and served after each bad one.
  auto good = client();
  for (const auto& row : cases) {
    const auto goneBefore = service_.gone().size();
    RawPeer bad(runtime_.socketPath());
    ASSERT_TRUE(bad.write(row.bytes));
    if (row.endsWriting) bad.endWriting();
    EXPECT_TRUE(bad.endsWithoutAnswer()) << row.name;
    EXPECT_TRUE(service_.waitForGoneCount(goneBefore + 1)) << row.name;
    EXPECT_TRUE(good.list()) << row.name;
  }
  EXPECT_TRUE(service_.calls().empty());
}

TEST_F(TokenHostServerTest, AClientThatLeavesDuringASignatureIsGoneOnceTheSignatureHasReturned) {
  service_.hold();
  start();
  RawPeer leaving(runtime_.socketPath());
  ASSERT_TRUE(leaving.write(signMessage(1)));
  ASSERT_TRUE(service_.waitForCalls(1));
  const auto leavingID = service_.calls()[0].client.id;
  leaving.close();

  // The others are served meanwhile, and the service does not hear of the client while it still
  // signs for it: whatever the signature makes for the client would outlive the news.
  auto other = client();
  EXPECT_TRUE(other.list());
  EXPECT_TRUE(service_.gone().empty());

  service_.release(1);
  ASSERT_TRUE(service_.waitForGone(leavingID));
  const std::vector<std::string> expected = {"returned " + std::to_string(leavingID),
                                             "gone " + std::to_string(leavingID)};
  EXPECT_EQ(service_.events(), expected);
  EXPECT_TRUE(other.list());
}

TEST_F(TokenHostServerTest, ConnectionsBeyondTheLimitAreClosedAndAFloodGrowsNoThreads) {
  TokenHostServerOptions options;
  options.connectionLimit = 3;
  start(options);
  std::vector<TokenHostClient> admitted;
  for (int i = 0; i < 3; ++i) {
    admitted.push_back(client());
    ASSERT_TRUE(admitted.back().list());
  }
  const auto threadsBefore = threadCount();

  std::vector<std::unique_ptr<RawPeer>> flood;
  for (int i = 0; i < 60; ++i) {
    flood.push_back(std::make_unique<RawPeer>(runtime_.socketPath()));
    // The server may have closed it already; either way nothing is answered.
    (void)flood.back()->write(listMessage(1));
  }
  for (std::size_t i = 0; i < flood.size(); ++i) EXPECT_TRUE(flood[i]->endsWithoutAnswer()) << i;
  EXPECT_LE(threadCount(), threadsBefore);
  for (auto& host : admitted) EXPECT_TRUE(host.list());
  // Refused peers never were clients.
  EXPECT_TRUE(service_.gone().empty());

  // A place that frees up is taken again.
  admitted.erase(admitted.begin());
  ASSERT_TRUE(service_.waitForGoneCount(1));
  auto next = client();
  EXPECT_TRUE(next.list());
}

TEST_F(TokenHostServerTest, SignaturesBeyondTheLimitAreAnsweredAtOnceAndAFreedPlaceIsTakenAgain) {
  TokenHostServerOptions options;
  options.signLimit = 3;
  service_.hold();
  start(options);
  RawPeer holder(runtime_.socketPath());
  ASSERT_TRUE(holder.write(cat({signMessage(1), signMessage(2), signMessage(3)})));
  ASSERT_TRUE(service_.waitForCalls(3));
  const auto threadsBefore = threadCount();

  std::vector<std::unique_ptr<RawPeer>> flood;
  for (int i = 0; i < 4; ++i) {
    flood.push_back(std::make_unique<RawPeer>(runtime_.socketPath()));
    Bytes requests;
    for (std::uint64_t id = 1; id <= 10; ++id) {
      const auto request = signMessage(id);
      requests.insert(requests.end(), request.begin(), request.end());
    }
    ASSERT_TRUE(flood.back()->write(requests));
  }
  for (std::size_t peer = 0; peer < flood.size(); ++peer) {
    for (std::uint64_t id = 1; id <= 10; ++id) {
      const auto answer = flood[peer]->read();
      ASSERT_TRUE(answer) << peer;
      EXPECT_EQ(answer->requestID, id);
      const auto* error = std::get_if<Error>(&answer->content);
      ASSERT_NE(error, nullptr) << peer << " " << id;
      EXPECT_EQ(error->code, static_cast<int>(ErrorCode::communicationError));
      EXPECT_TRUE(error->description);
    }
  }
  EXPECT_EQ(service_.calls().size(), 3U);
  EXPECT_EQ(service_.peak(), 3U);
  EXPECT_LE(threadCount(), threadsBefore);

  // Once the holder has an answer its place is free for the next request.
  service_.release(1);
  const auto first = holder.read();
  ASSERT_TRUE(first);
  EXPECT_TRUE(std::holds_alternative<SignatureAnswer>(first->content));
  ASSERT_TRUE(flood[0]->write(signMessage(11)));
  ASSERT_TRUE(service_.waitForCalls(4));

  service_.releaseAll();
  const auto late = flood[0]->read();
  ASSERT_TRUE(late);
  EXPECT_EQ(late->requestID, 11U);
  EXPECT_TRUE(std::holds_alternative<SignatureAnswer>(late->content));
  for (int i = 0; i < 2; ++i) {
    const auto answer = holder.read();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(std::holds_alternative<SignatureAnswer>(answer->content));
  }
  EXPECT_EQ(service_.peak(), 3U);
}

TEST_F(TokenHostServerTest, AClientThatDoesNotReadItsAnswersLosesItsConnectionAtTheOutgoingLimit) {
  std::vector<HostedToken> tokens;
  for (int i = 0; i < 20; ++i) {
    auto token = sampleToken(std::to_string(i));
    for (auto& item : token.keychainItems) {
      std::visit([](auto& value) { value.certificateDER = Bytes(1400, 0x30); }, item);
    }
    tokens.push_back(std::move(token));
  }
  service_.setTokens(tokens);
  const auto answerSize = encodeTokenHostMessage(TokenHostAnswer{1, TokensAnswer{tokens}})->size();
  ASSERT_GT(answerSize, 50U * 1024);
  TokenHostServerOptions options;
  options.outgoingBytesLimit = 64 * 1024;
  start(options);

  // A few answers ahead are nothing: the socket holds them.
  RawPeer pipelining(runtime_.socketPath());
  ASSERT_TRUE(pipelining.write(cat({listMessage(1), listMessage(2)})));
  for (std::uint64_t id = 1; id <= 2; ++id) {
    const auto answer = pipelining.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->requestID, id);
  }

  // Two hundred answers of over 50 KiB each are far more than the socket and the limit hold.
  RawPeer greedy(runtime_.socketPath());
  Bytes requests;
  for (std::uint64_t id = 1; id <= 200; ++id) {
    const auto request = listMessage(id);
    requests.insert(requests.end(), request.begin(), request.end());
  }
  ASSERT_TRUE(greedy.write(requests));
  ASSERT_TRUE(service_.waitForGoneCount(1));
  // The connection ends wherever the server had got to, possibly inside an answer.
  std::size_t answered = 0;
  try {
    while (greedy.read()) ++answered;
  } catch (const std::runtime_error& cut) {
    EXPECT_STREQ(cut.what(), "connection ended inside an answer");
  }
  EXPECT_LT(answered, 200U);
  auto other = client();
  EXPECT_TRUE(other.list());
}

TEST_F(TokenHostServerTest, ShutdownEndsTheConnectionsAndWaitsForTheSignaturesUnderWay) {
  service_.hold();
  start();
  const auto socketPath = runtime_.socketPath();
  std::optional<TokenHostClientError::Case> failure;
  std::thread caller([&] {
    auto host = client();
    try {
      (void)host.sign("key:1", "alg", {1});
    } catch (const TokenHostClientError& error) {
      failure = error.which();
    }
  });
  ASSERT_TRUE(service_.waitForCalls(1));
  std::atomic<bool> stopped = false;
  std::thread stopper([&] {
    server_.reset();
    stopped = true;
  });
  caller.join();
  EXPECT_EQ(failure, TokenHostClientError::Case::connectionLost);
  // The signature has not returned, so the server is still there and the client not yet gone.
  EXPECT_FALSE(stopped);
  EXPECT_TRUE(service_.gone().empty());

  service_.releaseAll();
  stopper.join();
  EXPECT_EQ(service_.gone().size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
}

TEST_F(TokenHostServerTest, AStaleSocketIsReplacedAndALiveHostKeepsItsOwn) {
  {
    // A socket bound and closed without a listener: what a host that died leaves behind.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto path = runtime_.socketPath();
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  start();
  auto host = client();
  EXPECT_TRUE(host.list());

  try {
    const TokenHostServer second(runtime_.directory(), service_);
    FAIL() << "a second host took the socket";
  } catch (const TokenHostServerError& error) {
    EXPECT_EQ(error.which(), TokenHostServerError::Case::inUse);
  }
  EXPECT_TRUE(host.list());
}

TEST_F(TokenHostServerTest, ServingEndsWhenStopIsRequestedAndRemovesTheSocket) {
  std::stop_source stop;
  std::thread serving([&] { serveTokenHost(runtime_.directory(), service_, stop.get_token()); });
  std::optional<TokenHostClient> host;
  const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
  while (!host && std::chrono::steady_clock::now() < giveUp) {
    try {
      host.emplace(client());
    } catch (const TokenHostClientError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->list());
  stop.request_stop();
  serving.join();
  EXPECT_EQ(service_.gone().size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(runtime_.socketPath())));
  try {
    (void)host->list();
    FAIL() << "served after the stop";
  } catch (const TokenHostClientError& error) {
    EXPECT_EQ(error.which(), TokenHostClientError::Case::connectionLost);
  }
}

TEST_F(TokenHostServerTest, EveryDescriptorOfServerAndClientIsClosedOnExec) {
  const auto before = openDescriptors();
  start();
  auto host = client();
  ASSERT_TRUE(host.list());
  std::size_t checked = 0;
  for (const int descriptor : openDescriptors()) {
    if (before.count(descriptor) != 0) continue;
    EXPECT_NE(::fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0) << descriptor;
    ++checked;
  }
  // The listener, the wake-up event, the accepted connection and the client's socket.
  EXPECT_GE(checked, 4U);
}

TEST(TokenHostClient, NothingListeningIsAHostThatDoesNotRun) {
  const Runtime runtime;
  try {
    (void)TokenHostClient::connect(runtime.socketPath());
    FAIL() << "connected to nothing";
  } catch (const TokenHostClientError& error) {
    EXPECT_EQ(error.which(), TokenHostClientError::Case::hostNotRunning);
  }
}

// Listens at the path and meets the first request of one connection with the bytes it is given,
// then closes; the request it read is kept.
class ScriptedHost {
public:
  ScriptedHost(const std::string& path, Bytes reply) : listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      throw std::runtime_error("cannot listen at " + path);
    }
    thread_ = std::thread([this, reply = std::move(reply)] {
      const UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      std::array<std::uint8_t, 4096> buffer{};
      const ssize_t count = ::recv(connection.get(), buffer.data(), buffer.size(), 0);
      if (count > 0) request_.assign(buffer.begin(), buffer.begin() + count);
      if (!reply.empty()) ::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    });
  }
  ~ScriptedHost() {
    if (thread_.joinable()) thread_.join();
  }

  // The bytes of the request; call once the client has its answer.
  const Bytes& request() {
    thread_.join();
    return request_;
  }

private:
  UniqueFd listener_;
  Bytes request_;
  std::thread thread_;
};

TEST(TokenHostClient, AnAnswerThatIsNotTheRequestsFailsTypedAndEndsTheConnection) {
  using Case = TokenHostClientError::Case;
  const auto signature = *encodeTokenHostMessage(TokenHostAnswer{1, SignatureAnswer{{1, 2}}});
  struct Row {
    const char* name;
    bool sign;  // else list
    Bytes reply;
    Case expected;
  };
  const std::vector<Row> rows = {
      {"no answer at all", false, {}, Case::connectionLost},
      {"a header of length zero", false, {0, 0, 0, 0}, Case::malformedAnswer},
      {"a header of 64 KiB", false, {0, 1, 0, 0}, Case::malformedAnswer},
      {"an answer cut short", false, Bytes(signature.begin(), signature.end() - 1), Case::connectionLost},
      {"a body that does not decode", false, {0, 0, 0, 1, 0xFF}, Case::malformedAnswer},
      {"the answer to another request",
       true,
       *encodeTokenHostMessage(TokenHostAnswer{2, SignatureAnswer{{1}}}),
       Case::malformedAnswer},
      {"a signature for a list", false, signature, Case::malformedAnswer},
      {"tokens for a signature", true, *encodeTokenHostMessage(TokenHostAnswer{1, TokensAnswer{}}), Case::malformedAnswer},
  };
  for (const auto& row : rows) {
    const Runtime runtime;
    ScriptedHost host(runtime.socketPath(), row.reply);
    auto client = TokenHostClient::connect(runtime.socketPath());
    try {
      if (row.sign) {
        (void)client.sign("key:1", "alg", {1});
      } else {
        (void)client.list();
      }
      ADD_FAILURE() << row.name << ": no failure";
    } catch (const TokenHostClientError& error) {
      EXPECT_EQ(error.which(), row.expected) << row.name;
    }
    EXPECT_FALSE(host.request().empty()) << row.name;
    try {
      (void)client.list();
      ADD_FAILURE() << row.name << ": served after the failure";
    } catch (const TokenHostClientError& error) {
      EXPECT_EQ(error.which(), Case::connectionLost) << row.name;
    }
  }
}

TEST_F(TokenHostServerTest, ADigestOver64BytesIsNotSentAndTheConnectionGoesOn) {
  start();
  auto host = client();
  try {
    (void)host.sign("key:1", "alg", Bytes(65, 1));
    FAIL() << "sent";
  } catch (const TokenHostClientError& error) {
    EXPECT_EQ(error.which(), TokenHostClientError::Case::invalidRequest);
  }
  EXPECT_TRUE(host.sign("key:1", "alg", Bytes(64, 1)));
  EXPECT_EQ(service_.calls().size(), 1U);
}

}  // namespace
}  // namespace platform::tokenkit

#include "connection/sign_in/loopback_receiver.hpp"

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/sign_in/url_components.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using platform::runtime::CancellationError;
using platform::runtime::testing::ManualClock;

// How long a test waits for something that should happen at once; reached only when it fails, so
// it leaves a machine whose every core is busy all the room it needs.
constexpr auto patience = 30s;

const std::string pageStart =
    "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width\"><title>Corvanta Sign</title><body><h1>";
const std::string pageHeaders =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Content-Length: %LENGTH%\r\n"
    "Cache-Control: no-store\r\n"
    "Pragma: no-cache\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n"
    "\r\n";
const std::string acceptedBody =
    pageStart +
    "Return to Corvanta Sign</h1><p>The app is finishing your connection. You can close this tab.</p></body></html>";
const std::string rejectedBody =
    pageStart + "Sign-in response not accepted</h1><p>Return to the app to continue signing in.</p></body></html>";

std::string page(const std::string& statusLine, const std::string& body, const std::string& length) {
  std::string headers = pageHeaders;
  headers.replace(headers.find("%LENGTH%"), 8, length);
  return statusLine + "\r\n" + headers + body;
}

const std::string acceptedPage = page("HTTP/1.1 200 OK", acceptedBody, "252");
const std::string rejectedPage = page("HTTP/1.1 400 Bad Request", rejectedBody, "238");

TEST(LoopbackReceiverPages, BodiesHaveTheLengthsTheirHeadersGive) {
  EXPECT_EQ(acceptedBody.size(), 252u);
  EXPECT_EQ(rejectedBody.size(), 238u);
}

// The socket address of `address` (IPv4 or IPv6, in text) and `port`.
struct SocketAddress {
  SocketAddress(const std::string& address, std::uint16_t port) {
    if (address.find(':') == std::string::npos) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port);
      ::inet_pton(AF_INET, address.c_str(), &v4.sin_addr);
      length = sizeof v4;
    } else {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
      ::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
      length = sizeof v6;
    }
  }
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }

  sockaddr_storage storage{};
  socklen_t length = 0;
};

// A browser stand-in: a blocking socket with time limits, so that a fault fails the test instead
// of hanging it. It is close-on-exec, so that the programs a test starts do not hold it open.
class Client {
public:
  explicit Client(std::uint16_t port, const std::string& address = "127.0.0.1") {
    const SocketAddress peer(address, port);
    fd_ = ::socket(peer.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected_ = fd_ >= 0 && ::connect(fd_, peer.get(), peer.length) == 0;
    const int noDelay = 1;
    if (connected_) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool connected() const { return connected_; }

  // Errors are ignored: the receiver may have closed the connection already.
  void send(std::string_view text) {
    while (!text.empty()) {
      const auto sent = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent <= 0) return;
      text.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  void endOutput() { ::shutdown(fd_, SHUT_WR); }

  // Everything the receiver sends until it closes the connection (a reset counts as closing);
  // none if it is still open after `limit`.
  std::optional<std::string> readToEnd(std::chrono::milliseconds limit = patience) {
    std::string received;
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
      if (left <= 0ms) return std::nullopt;
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const auto count = ::recv(fd_, chunk, sizeof chunk, 0);
      if (count == 0 || (count < 0 && errno == ECONNRESET)) return received;
      if (count < 0) return std::nullopt;
      received.append(chunk, static_cast<std::size_t>(count));
    }
  }

  // Sends the request and reads the answer.
  std::optional<std::string> exchange(std::string_view request) {
    send(request);
    return readToEnd();
  }

private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string redirectRequest(const std::string& query) {
  return "GET /callback?" + query + " HTTP/1.1\r\nHost: localhost:53682\r\nAccept: text/html\r\n\r\n";
}

// A call of the receiver made by a caller of its own, from the test's thread.
template <typename T>
struct Call {
  platform::runtime::Task<void> task;
  std::future<T> result;

  bool hasEnded() { return result.wait_for(0s) == std::future_status::ready; }

  T get() {
    if (result.wait_for(patience) != std::future_status::ready) {
      throw std::runtime_error("the call did not end in time");
    }
    return result.get();
  }
};

template <typename T>
asio::awaitable<void> deliver(asio::awaitable<T> operation, std::shared_ptr<std::promise<T>> promise) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(operation);
      promise->set_value();
    } else {
      T value = co_await std::move(operation);
      promise->set_value(std::move(value));
    }
  } catch (...) {
    promise->set_exception(std::current_exception());
  }
}

// Waits for `gate` first, whatever happens to its own cancellation meanwhile.
asio::awaitable<void> behind(platform::runtime::SharedResult<void> gate, asio::awaitable<void> operation) {
  co_await gate.waitIgnoringCancellation();
  co_await std::move(operation);
}

template <typename T>
void expectError(Call<T>& call, const ConnectionError& expected) {
  try {
    call.get();
    ADD_FAILURE() << "no error, expected " << expected.what();
  } catch (const ConnectionError& error) {
    EXPECT_EQ(error, expected) << error.what();
  }
}

template <typename T>
void expectCancellation(Call<T>& call) {
  EXPECT_THROW(call.get(), CancellationError);
}

// Whether `condition` holds within `patience`; for what the receiver does on its own threads.
bool eventually(const std::function<bool()>& condition) {
  const auto giveUp = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A manual clock that counts the waits observing it. Every sleep on it observes it until the
// sleep's coroutine is gone, so the count is the number of sleeps still held in memory.
class CountingClock final : public platform::runtime::ContinuousClock {
public:
  explicit CountingClock(const ManualClock& clock) : clock_(clock) {}

  Instant now() const override { return clock_.now(); }
  Duration timerWait(Duration remaining) const override { return clock_.timerWait(remaining); }
  Observation observeJumps(std::function<void()> wake) const override {
    auto observation = std::make_shared<Observation>(clock_.observeJumps(std::move(wake)));
    ++*observers_;
    return Observation([observation = std::move(observation), observers = observers_] { --*observers; });
  }

  int observers() const { return observers_->load(); }

private:
  const ManualClock& clock_;
  // Shared with the observations, which may end after the clock.
  std::shared_ptr<std::atomic<int>> observers_ = std::make_shared<std::atomic<int>>(0);
};

class LoopbackReceiverTest : public ::testing::Test {
protected:
  void TearDown() override {
    // A receiver must be ended before it is dropped; a failed test leaves some running.
    for (const auto& receiver : receivers_) {
      try {
        call(receiver->cancel()).get();
      } catch (...) {
      }
    }
  }

  template <typename T>
  Call<T> call(asio::awaitable<T> operation) {
    auto promise = std::make_shared<std::promise<T>>();
    auto result = promise->get_future();
    auto task = platform::runtime::startTask(runtime.io(), deliver(std::move(operation), promise));
    return {std::move(task), std::move(result)};
  }

  std::shared_ptr<LoopbackReceiver> makeReceiver(std::uint16_t port = 0) {
    auto receiver =
        std::make_shared<LoopbackReceiver>(runtime.io(), attempt, LoopbackReceiverOptions{port, receiverClock});
    receivers_.push_back(receiver);
    return receiver;
  }

  // Starts `receiver` and answers the port it listens on.
  std::uint16_t startListening(const std::shared_ptr<LoopbackReceiver>& receiver) {
    call(receiver->start()).get();
    const auto endpoint = call(receiver->localEndpoint()).get();
    if (!endpoint) throw std::runtime_error("no local endpoint after start()");
    return endpoint->port();
  }

  std::string validQuery() const { return "code=C0DE&state=" + attempt.state() + "&iss=" + issuer; }
  // The URL a wait ends with when the attempt's redirect comes in.
  std::string callbackURL() const { return "http://localhost:53682/callback?" + validQuery(); }

  // A browser on `port` sends `request`, is shown the page that accepts it, and `wait` ends with
  // the attempt's redirect.
  void expectAccepted(std::uint16_t port, Call<LoopbackReceiver::URL>& wait, const std::string& request) {
    Client browser(port);
    EXPECT_EQ(browser.exchange(request), acceptedPage);
    EXPECT_EQ(wait.get().buffer(), callbackURL());
  }
  void expectAccepted(std::uint16_t port, Call<LoopbackReceiver::URL>& wait) {
    expectAccepted(port, wait, redirectRequest(validQuery()));
  }

  const std::string issuer = platform::foundation::percentEncodedUnreserved(CorvantaEndpoints::issuer());
  // Declared before the runtime, whose pending sleeps read them until the runtime is gone.
  ManualClock clock;
  // The receivers' clock: the manual clock, with the receivers' sleeps on it counted.
  CountingClock receiverClock{clock};
  platform::runtime::Runtime runtime;
  SignInAttempt attempt{clock};

private:
  std::vector<std::shared_ptr<LoopbackReceiver>> receivers_;
};

TEST_F(LoopbackReceiverTest, AcceptsTheRedirectOfItsAttemptAndThenClosesEverything) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  // A second start() is refused and changes nothing.
  auto secondStart = call(receiver->start());
  expectCancellation(secondStart);

  Client idle(port);
  ASSERT_TRUE(idle.connected());
  Client browser(port);
  ASSERT_TRUE(browser.connected());
  EXPECT_EQ(browser.exchange(redirectRequest(validQuery())), acceptedPage);

  const auto expectedURL = callbackURL();
  EXPECT_EQ(wait.get().buffer(), expectedURL);
  // The other connection is closed at once, long before its 10 seconds are over.
  EXPECT_EQ(idle.readToEnd(), "");
  EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
  EXPECT_FALSE(Client(port).connected());

  // From now on every call answers from the outcome.
  auto again = call(receiver->waitForCallback());
  EXPECT_EQ(again.get().buffer(), expectedURL);
  auto lateStart = call(receiver->start());
  expectCancellation(lateStart);
}

TEST_F(LoopbackReceiverTest, RefusesEveryOtherRequestWithTheSamePageAndKeepsWaiting) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  const std::string state = "state=" + attempt.state();
  const std::string iss = "iss=" + issuer;
  const struct {
    const char* name;
    std::string request;
  } cases[] = {
      {"wrong path", "GET /other?code=C0DE&" + state + "&" + iss + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n"},
      {"path with a trailing slash",
       "GET /callback/?code=C0DE&" + state + "&" + iss + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n"},
      {"wrong state", redirectRequest("code=C0DE&state=" + attempt.verifier() + "&" + iss)},
      {"missing state", redirectRequest("code=C0DE&" + iss)},
      {"state given twice", redirectRequest("code=C0DE&" + state + "&" + state + "&" + iss)},
      {"missing issuer", redirectRequest("code=C0DE&" + state)},
      {"another issuer", redirectRequest("code=C0DE&" + state + "&iss=https%3A%2F%2Fother.example")},
      {"missing code", redirectRequest(state + "&" + iss)},
      {"empty code", redirectRequest("code=&" + state + "&" + iss)},
      {"both an error and a code", redirectRequest("error=access_denied&code=C0DE&" + state + "&" + iss)},
      {"an error with a wrong state", redirectRequest("error=access_denied&state=x&" + iss)},
      {"method POST",
       "POST /callback?" + validQuery() + " HTTP/1.1\r\nHost: localhost:53682\r\nContent-Length: 0\r\n\r\n"},
      {"version 1.0", "GET /callback?" + validQuery() + " HTTP/1.0\r\nHost: localhost:53682\r\n\r\n"},
      {"host by address", "GET /callback?" + validQuery() + " HTTP/1.1\r\nHost: 127.0.0.1:53682\r\n\r\n"},
      {"a body", "GET /callback?" + validQuery() + " HTTP/1.1\r\nHost: localhost:53682\r\nContent-Length: 1\r\n\r\nx"},
  };
  for (const auto& c : cases) {
    Client client(port);
    EXPECT_EQ(client.exchange(c.request), rejectedPage) << c.name;
  }
  EXPECT_FALSE(wait.hasEnded());

  expectAccepted(port, wait);
}

TEST_F(LoopbackReceiverTest, AnErrorAnswerOfTheIdentityProviderGetsTheRefusalPageAndEndsTheWait) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  Client browser(port);
  EXPECT_EQ(browser.exchange(redirectRequest("error=access_denied&state=" + attempt.state() + "&iss=" + issuer)),
            rejectedPage);
  expectError(wait, ConnectionError::authorizationDenied);
  EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
}

// One sign-in has one result: once a redirect was accepted, or the user's refusal reported, nothing
// that would otherwise end the receiver changes what it answers.
class LoopbackReceiverFirstOutcomeTest : public LoopbackReceiverTest, public ::testing::WithParamInterface<bool> {
protected:
  bool firstIsAccepted() const { return GetParam(); }
  std::string denialQuery() const { return "error=access_denied&state=" + attempt.state() + "&iss=" + issuer; }

  void expectFirstOutcome(Call<LoopbackReceiver::URL>& wait) {
    if (firstIsAccepted()) {
      EXPECT_EQ(wait.get().buffer(), callbackURL());
    } else {
      expectError(wait, ConnectionError::authorizationDenied);
    }
  }
};

TEST_P(LoopbackReceiverFirstOutcomeTest, StandsWhateverComesAfterIt) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());
  // Connected before the outcome, it sends the other answer after it.
  Client other(port);
  ASSERT_TRUE(other.connected());

  Client browser(port);
  ASSERT_EQ(browser.exchange(redirectRequest(firstIsAccepted() ? validQuery() : denialQuery())),
            firstIsAccepted() ? acceptedPage : rejectedPage);
  expectFirstOutcome(wait);

  other.send(redirectRequest(firstIsAccepted() ? denialQuery() : validQuery()));
  EXPECT_EQ(other.readToEnd(), "");
  auto afterOther = call(receiver->waitForCallback());
  expectFirstOutcome(afterOther);

  call(receiver->cancel()).get();
  auto afterCancel = call(receiver->waitForCallback());
  expectFirstOutcome(afterCancel);

  clock.advance(LoopbackReceiver::signInLifetime);
  auto afterDeadline = call(receiver->waitForCallback());
  expectFirstOutcome(afterDeadline);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, LoopbackReceiverFirstOutcomeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AnAcceptedRedirect" : "TheUsersRefusal";
                         });

TEST_F(LoopbackReceiverTest, DropsWithoutAnAnswerWhatIsTooLongOrNeverEnds) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  const std::string head = "GET /callback?" + validQuery() + " HTTP/1.1\r\nHost: localhost:53682\r\n";
  const auto padded = [&](std::size_t size) {
    const std::string header = "X-Pad: ";
    return head + header + std::string(size - head.size() - header.size() - 4, 'p') + "\r\n\r\n";
  };
  {
    Client client(port);
    EXPECT_EQ(client.exchange(padded(8193)), "") << "headers one byte too long";
  }
  {
    Client client(port);
    EXPECT_EQ(client.exchange("GET /callback?code=" + std::string(9000, 'c')), "") << "a request line that never ends";
  }
  {
    Client client(port);
    client.send(head);
    client.endOutput();
    EXPECT_EQ(client.readToEnd(), "") << "the browser's side ends before the blank line";
  }
  EXPECT_FALSE(wait.hasEnded());

  expectAccepted(port, wait, padded(8192));
}

TEST_F(LoopbackReceiverTest, JoinsARequestThatArrivesInPieces) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  const std::string request = redirectRequest(validQuery());
  Client browser(port);
  // The last cuts fall inside the blank line.
  std::size_t sent = 0;
  for (const std::size_t cut :
       {std::size_t{3}, std::size_t{20}, request.size() - 3, request.size() - 1, request.size()}) {
    browser.send(std::string_view(request).substr(sent, cut - sent));
    sent = cut;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(browser.readToEnd(), acceptedPage);
  EXPECT_EQ(wait.get().buffer(), callbackURL());
}

TEST_F(LoopbackReceiverTest, ClosesEachConnectionTenSecondsAfterAcceptingItWhateverItSends) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());
  const std::string badRequest = redirectRequest("code=C0DE&state=wrong&iss=" + issuer);

  // A connection is accepted before a later one is answered, so its 10 seconds have begun.
  const auto acceptedBefore = [&] {
    Client later(port);
    ASSERT_EQ(later.exchange(badRequest), rejectedPage);
  };

  Client almost(port);
  almost.send(badRequest.substr(0, 10));
  acceptedBefore();
  clock.advance(10s - 1ns);
  // Another exchange first, so that an expiry that were due now would have closed it already.
  acceptedBefore();
  almost.send(badRequest.substr(10));
  EXPECT_EQ(almost.readToEnd(), rejectedPage) << "answered until the very end of its 10 seconds";

  // A slow client that keeps sending is closed all the same.
  Client slow(port);
  slow.send("GET /callback?code=");
  acceptedBefore();
  for (int second = 0; second < 9; ++second) {
    clock.advance(1s);
    slow.send("C");
  }
  clock.advance(1s);
  EXPECT_EQ(slow.readToEnd(), "");
  EXPECT_FALSE(wait.hasEnded());

  expectAccepted(port, wait);
}

TEST_F(LoopbackReceiverTest, HoldsEightConnectionsAtOnceAndClosesANinthUnread) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(held.back()->connected());
  }
  {
    Client ninth(port);
    EXPECT_EQ(ninth.exchange(redirectRequest(validQuery())), "");
  }
  EXPECT_FALSE(wait.hasEnded());

  // Once the eight are gone, a new connection is served again.
  clock.advance(10s);
  for (const auto& client : held) {
    EXPECT_EQ(client->readToEnd(), "");
  }
  expectAccepted(port, wait);
}

TEST_F(LoopbackReceiverTest, AConnectionThatEndsLeavesNoWaitOfItsLifetimeBehind) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());
  const std::string badRequest = redirectRequest("code=C0DE&state=wrong&iss=" + issuer);

  // Far more connections than are held at once, one after another, ended both ways: answered, and
  // given up by the browser before its request was complete. The clock stands still, so none of
  // their 10 seconds runs out.
  for (int i = 0; i < 50; ++i) {
    {
      Client answered(port);
      ASSERT_EQ(answered.exchange(badRequest), rejectedPage);
    }
    Client abandoned(port);
    abandoned.send(badRequest.substr(0, 10));
    abandoned.endOutput();
    ASSERT_EQ(abandoned.readToEnd(), "");
  }
  // What is left sleeping is the sign-in's own deadline, whatever the number of connections.
  EXPECT_TRUE(eventually([&] { return receiverClock.observers() == 1; }))
      << receiverClock.observers() << " sleeps on the receiver's clock";
  EXPECT_FALSE(wait.hasEnded());

  expectAccepted(port, wait);
}

// Whether a socket without address reuse can bind `address` and `port` now, as a second program
// would; the error otherwise.
int bindWithoutReuse(const std::string& address, std::uint16_t port) {
  const SocketAddress local(address, port);
  const int fd = ::socket(local.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int result = ::bind(fd, local.get(), local.length) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

// Whether this machine has the IPv6 loopback address, which the receiver then listens on too.
bool hasIPv6Loopback() { return bindWithoutReuse("::1", 0) == 0; }

TEST_F(LoopbackReceiverTest, ServesTheRedirectOnTheIPv6LoopbackAddressToo) {
  if (!hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  const auto receiver = makeReceiver();
  // Port 0 here: the same port is taken on both addresses.
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  // A browser that tries localhost on [::1] first is refused or served like one on 127.0.0.1.
  {
    Client refused(port, "::1");
    EXPECT_EQ(refused.exchange(redirectRequest("code=C0DE&state=wrong&iss=" + issuer)), rejectedPage);
  }
  Client browser(port, "::1");
  EXPECT_EQ(browser.exchange(redirectRequest(validQuery())), acceptedPage);
  EXPECT_EQ(wait.get().buffer(), callbackURL());
  EXPECT_FALSE(Client(port, "::1").connected());
  EXPECT_FALSE(Client(port).connected());
}

// A listener of another program on the port, bound as the test case says.
struct Blocker {
  Blocker(asio::io_context& io, const char* address, bool reuseAddress) : acceptor(io) {
    const tcp::endpoint endpoint(asio::ip::make_address(address), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(reuseAddress));
    acceptor.bind(endpoint);
    acceptor.listen();
  }
  std::uint16_t port() const { return acceptor.local_endpoint().port(); }
  tcp::acceptor acceptor;
};

TEST_F(LoopbackReceiverTest, APortThatAnotherListenerHoldsIsUnavailableUntilItIsFreed) {
  const struct {
    const char* address;
    bool reuseAddress;
    // The loopback address the other listener leaves free, which the refused receiver must not
    // keep either; none when it holds both.
    const char* leftFree;
  } cases[] = {
      {"127.0.0.1", true, "::1"}, {"127.0.0.1", false, "::1"}, {"0.0.0.0", true, "::1"}, {"0.0.0.0", false, "::1"},
      // A listener on [::1] would be handed the redirects of browsers that try it for localhost.
      {"::1", true, "127.0.0.1"}, {"::1", false, "127.0.0.1"}, {"::", true, nullptr}, {"::", false, nullptr},
  };
  const bool hasIPv6 = hasIPv6Loopback();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + (c.reuseAddress ? " with address reuse" : " without address reuse"));
    if (!hasIPv6 && std::string(c.address).find(':') != std::string::npos) continue;
    asio::io_context io;
    auto blocker = std::make_unique<Blocker>(io, c.address, c.reuseAddress);
    const auto port = blocker->port();
    const auto receiver = makeReceiver(port);
    auto refused = call(receiver->start());
    expectError(refused, ConnectionError::callbackUnavailable);
    EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
    if (c.leftFree && (hasIPv6 || std::string(c.leftFree).find(':') == std::string::npos)) {
      EXPECT_EQ(bindWithoutReuse(c.leftFree, port), 0) << "the refused receiver still holds " << c.leftFree;
    }

    // The failure changed nothing: once the port is free, the same receiver starts.
    blocker.reset();
    auto started = call(receiver->start());
    EXPECT_NO_THROW(started.get());
    const auto endpoint = call(receiver->localEndpoint()).get();
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->port(), port);
    if (hasIPv6) {
      EXPECT_TRUE(Client(port, "::1").connected());
    }
    call(receiver->cancel()).get();
  }
}

TEST_F(LoopbackReceiverTest, ASecondSignInBindsWhileTheConnectionsOfTheFirstWaitInTimeWait) {
  const bool hasIPv6 = hasIPv6Loopback();
  for (const char* address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(std::string("the first browser on ") + address);
    if (!hasIPv6 && std::string(address) == "::1") continue;
    const auto first = makeReceiver();
    const auto port = startListening(first);
    auto firstWait = call(first->waitForCallback());
    {
      Client browser(port, address);
      ASSERT_EQ(browser.exchange(redirectRequest(validQuery())), acceptedPage);
    }
    ASSERT_NO_THROW(firstWait.get());
    // The receiver closed first, so its end of the connection lingers on the port.
    ASSERT_EQ(bindWithoutReuse(address, port), EADDRINUSE) << "no connection of the first sign-in is left on the port";

    const auto second = makeReceiver(port);
    auto secondStart = call(second->start());
    ASSERT_NO_THROW(secondStart.get());
    auto secondWait = call(second->waitForCallback());
    Client browser(port, address);
    EXPECT_EQ(browser.exchange(redirectRequest(validQuery())), acceptedPage);
    EXPECT_NO_THROW(secondWait.get());
  }
}

TEST_F(LoopbackReceiverTest, CancellingTheWaitingCallerEndsTheReceiver) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  Client idle(port);
  ASSERT_TRUE(idle.connected());
  auto wait = call(receiver->waitForCallback());

  wait.task.cancel();
  expectCancellation(wait);
  EXPECT_EQ(idle.readToEnd(), "");
  EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
  EXPECT_FALSE(Client(port).connected());
  auto again = call(receiver->waitForCallback());
  expectCancellation(again);
  auto lateStart = call(receiver->start());
  expectCancellation(lateStart);
}

TEST_F(LoopbackReceiverTest, CancelEndsTheWaitOnceAndThenHasNoEffect) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  call(receiver->cancel()).get();
  expectCancellation(wait);
  EXPECT_FALSE(Client(port).connected());
  call(receiver->cancel()).get();
  auto again = call(receiver->waitForCallback());
  expectCancellation(again);
}

TEST_F(LoopbackReceiverTest, AWaitBeforeStartLastsUntilCancel) {
  const auto receiver = makeReceiver();
  auto wait = call(receiver->waitForCallback());
  EXPECT_EQ(wait.result.wait_for(20ms), std::future_status::timeout);
  call(receiver->cancel()).get();
  expectCancellation(wait);
}

TEST_F(LoopbackReceiverTest, AStartWhoseCallerIsAlreadyCancelledEndsTheReceiver) {
  const auto receiver = makeReceiver();
  platform::runtime::SharedResult<void> gate;
  auto start = call(behind(gate, receiver->start()));
  start.task.cancel();
  gate.setValue();
  expectCancellation(start);
  EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
  auto wait = call(receiver->waitForCallback());
  expectCancellation(wait);
}

TEST_F(LoopbackReceiverTest, ASecondWaitIsRefusedAndTheFirstGoesOn) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  // Which of two waits started together reaches the receiver first is up to the threads; the
  // other one is refused.
  auto one = call(receiver->waitForCallback());
  auto other = call(receiver->waitForCallback());
  ASSERT_TRUE(eventually([&] { return one.hasEnded() || other.hasEnded(); }));
  auto& refused = one.hasEnded() ? one : other;
  auto& first = one.hasEnded() ? other : one;
  expectCancellation(refused);
  EXPECT_FALSE(first.hasEnded());

  // By now the first wait is certainly in place, so this one is certainly the second.
  auto second = call(receiver->waitForCallback());
  expectCancellation(second);
  EXPECT_FALSE(first.hasEnded());

  expectAccepted(port, first);
}

TEST_F(LoopbackReceiverTest, EndsWithLoginExpiredThreeHundredSecondsAfterStart) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  Client idle(port);
  ASSERT_TRUE(idle.connected());
  auto wait = call(receiver->waitForCallback());

  clock.advance(300s);
  expectError(wait, ConnectionError::loginExpired);
  EXPECT_EQ(idle.readToEnd(), "");
  EXPECT_EQ(call(receiver->localEndpoint()).get(), std::nullopt);
  EXPECT_FALSE(Client(port).connected());
}

TEST_F(LoopbackReceiverTest, ARedirectJustBeforeTheDeadlineIsAccepted) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  clock.advance(300s - 1ns);
  expectAccepted(port, wait);
}

TEST_F(LoopbackReceiverTest, ALateRedirectIsRefusedAndOnlyTheReceiversOwnDeadlineEndsTheWait) {
  const auto receiver = makeReceiver();
  // Started 50 seconds after the attempt was made: the attempt expires first.
  clock.advance(50s);
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  clock.advance(250s);
  Client late(port);
  EXPECT_EQ(late.exchange(redirectRequest(validQuery())), rejectedPage);
  EXPECT_TRUE(call(receiver->localEndpoint()).get().has_value());
  EXPECT_FALSE(wait.hasEnded());

  clock.advance(50s);
  expectError(wait, ConnectionError::loginExpired);
}

// Whether every socket of this process bound to `port` on a loopback address is closed on exec,
// so that a program the app starts (the browser) does not keep the port.
bool socketsAreCloseOnExec(std::uint16_t port, int& found) {
  found = 0;
  bool all = true;
  DIR* directory = ::opendir("/proc/self/fd");
  if (!directory) return false;
  while (const dirent* entry = ::readdir(directory)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
    bool onPort = false;
    if (address.ss_family == AF_INET) {
      const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
      onPort = ntohs(v4.sin_port) == port && ntohl(v4.sin_addr.s_addr) == INADDR_LOOPBACK;
    } else if (address.ss_family == AF_INET6) {
      const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
      onPort = ntohs(v6.sin6_port) == port && IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
    }
    if (!onPort) continue;
    ++found;
    all = all && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
  }
  ::closedir(directory);
  return all;
}

// A program started as the app starts the browser: it echoes its input until the input ends, so
// that the test knows it is running (past exec) and can look at what it inherited.
class ChildProgram {
public:
  ChildProgram() {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0) {
      ::close(input[0]);
      ::close(input[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    char program[] = "/bin/cat";
    char* const arguments[] = {program, nullptr};
    if (::posix_spawn(&pid_, program, &actions, nullptr, arguments, environ) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    output_ = output[0];
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;
  ~ChildProgram() {
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  // Whether it started and echoed a byte back in time, having closed what it was not meant to
  // inherit.
  bool isRunning() {
    if (pid_ <= 0) return false;
    char byte = 'x';
    if (::write(input_, &byte, 1) != 1) return false;
    pollfd echoed{output_, POLLIN, 0};
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(patience);
    return ::poll(&echoed, 1, static_cast<int>(limit.count())) == 1 && ::read(output_, &byte, 1) == 1;
  }

  // The inodes of the sockets it holds open.
  std::vector<std::string> sockets() const {
    std::vector<std::string> inodes;
    const std::string directoryPath = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* directory = ::opendir(directoryPath.c_str());
    if (!directory) return inodes;
    while (const dirent* entry = ::readdir(directory)) {
      char target[64] = {};
      const auto length = ::readlink((directoryPath + "/" + entry->d_name).c_str(), target, sizeof target - 1);
      const std::string_view link(target, length > 0 ? static_cast<std::size_t>(length) : 0);
      if (link.starts_with("socket:[") && link.ends_with("]")) inodes.emplace_back(link.substr(8, link.size() - 9));
    }
    ::closedir(directory);
    return inodes;
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

TEST_F(LoopbackReceiverTest, AProgramStartedWhileConnectionsArriveInheritsNoneOfThem) {
  // What every program inherits whatever the receiver does: sockets this process was given
  // without close-on-exec by whoever started it.
  std::set<std::string> inheritedAnyway;
  {
    ChildProgram before;
    ASSERT_TRUE(before.isRunning());
    for (const auto& inode : before.sockets()) inheritedAnyway.insert(inode);
  }
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  auto wait = call(receiver->waitForCallback());

  // Programs are started one after another for as long as browsers connect, several at once, so
  // that connections keep arriving while the receiver is busy with others.
  std::atomic<bool> connecting = true;
  int started = 0;
  int holdingOne = 0;
  bool allRan = true;
  std::thread starter([&] {
    while (connecting) {
      ChildProgram child;
      if (!child.isRunning()) {
        allRan = false;
        return;
      }
      ++started;
      const auto held = child.sockets();
      if (std::any_of(held.begin(), held.end(),
                      [&](const std::string& inode) { return !inheritedAnyway.contains(inode); })) {
        ++holdingOne;
      }
    }
  });
  const std::string badRequest = redirectRequest("code=C0DE&state=wrong&iss=" + issuer);
  std::atomic<int> unanswered = 0;
  {
    // Over both addresses where there are two, so that both listeners accept.
    const bool hasIPv6 = hasIPv6Loopback();
    std::vector<std::jthread> browsers;
    for (int i = 0; i < 6; ++i) {
      const std::string address = hasIPv6 && i % 2 == 1 ? "::1" : "127.0.0.1";
      browsers.emplace_back([&, address] {
        for (int request = 0; request < 100; ++request) {
          Client browser(port, address);
          if (browser.exchange(badRequest) != rejectedPage) ++unanswered;
        }
      });
    }
  }
  connecting = false;
  starter.join();

  ASSERT_TRUE(allRan) << "a program could not be started";
  EXPECT_GT(started, 0);
  EXPECT_EQ(unanswered, 0);
  EXPECT_EQ(holdingOne, 0) << "programs that held a socket of the receiver, of " << started << " started";
  expectAccepted(port, wait);
}

TEST_F(LoopbackReceiverTest, ListensOnTheLoopbackAddressOnly) {
  const auto receiver = makeReceiver();
  const auto port = startListening(receiver);
  const auto endpoint = call(receiver->localEndpoint()).get();
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->address(), asio::ip::address_v4::loopback());
  // Every 127.x address reaches this machine, but only 127.0.0.1 is listened on.
  EXPECT_FALSE(Client(port, "127.0.0.2").connected());

  // The listener and an accepted connection are both kept from programs the app starts.
  auto wait = call(receiver->waitForCallback());
  Client idle(port);
  {
    Client client(port);
    ASSERT_EQ(client.exchange(redirectRequest("state=wrong")), rejectedPage);
  }
  int found = 0;
  EXPECT_TRUE(socketsAreCloseOnExec(port, found));
  // The refused connection may not be closed yet.
  EXPECT_GE(found, hasIPv6Loopback() ? 3 : 2) << "the listeners and the idle connection";
}

TEST(LoopbackReceiverOptions, DefaultToThePortOfTheRedirectAndTheMachinesClock) {
  const LoopbackReceiverOptions options;
  EXPECT_EQ(options.port, 53682);
  EXPECT_EQ(options.port, LoopbackReceiver::defaultPort);
  const auto redirect = URLComponents::parse(CorvantaEndpoints::redirect);
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->port(), options.port);
  EXPECT_EQ(&options.clock.get(), &platform::runtime::ContinuousClock::system());
}

}  // namespace
}  // namespace corvanta

#include "token-support/token_companion_bridge.hpp"

#include "connection/certificate/certificate_profile.hpp"
#include "connection/certificate/public_certificate.hpp"
#include "connection/service/remote_signature.hpp"
#include "connection/service/remote_signing_error.hpp"
#include "platform/codesign/testing/fake_code_signing.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/runtime/once_box.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/testing/await_on.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_request.hpp"
#include "sign-core/verification_key.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_owner_export.hpp"
#include "token-support/token_owner_reply_status.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"
#include "token-support/token_remote_signer.hpp"
#include "token-support/token_sign_request.hpp"
#include "token-support/token_signing_owner.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
namespace xpc = platform::xpc;
using namespace std::chrono_literals;
using platform::Bytes;
using platform::codesign::testing::FakeCodeSigning;
using platform::runtime::OnceBox;
using platform::runtime::SharedResult;
using platform::runtime::testing::awaitOn;
using platform::runtime::testing::hangLimit;
using platform::security::testing::sharedTestKeys;

constexpr char team[] = "TEAMABCDE1";
constexpr char code[] = "482913";

std::string requirementOf(std::string_view identifier) { return TokenPeerIdentity::requirement(team, identifier); }

// Polls until `done` holds; false after the hang limit.
bool eventually(const std::function<bool()>& done) {
  const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Takes the system's requirement texts (or, when told, none) and lets every peer satisfy them;
// records the texts that peers were checked against. Both ends of every test connection live in
// this one process, so the pid tells nothing here.
class TestVerifier final : public xpc::PeerVerifier {
public:
  bool isValidRequirement(std::string_view text) const override {
    return takesRequirements_ && text.starts_with("anchor apple generic and certificate leaf[subject.OU] = ");
  }
  bool satisfies(pid_t, std::string_view text) const override {
    const std::lock_guard lock(mutex_);
    checked_.emplace_back(text);
    return true;
  }
  void refuseRequirements() { takesRequirements_ = false; }
  bool wasChecked(const std::string& text) const {
    const std::lock_guard lock(mutex_);
    return std::find(checked_.begin(), checked_.end(), text) != checked_.end();
  }

private:
  std::atomic<bool> takesRequirements_ = true;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> checked_;
};

// ---- The router's registration service, played in-process ----------------------------------

// Shared by the fake router's delegate, exports and handlers; they hold it weakly, so that the
// connections it keeps do not keep it.
struct RouterState {
  enum class Answer { accept, refuse, never };

  explicit RouterState(Answer answer) : answer(answer) {}

  std::mutex mutex;
  Answer answer;
  std::vector<xpc::Endpoint> registrations;
  std::vector<std::shared_ptr<xpc::Connection>> connections;
  std::vector<xpc::Reply> unanswered;
  int accepted = 0;
  int closed = 0;
};

class RegistrationServer final : public xpc::ExportedObject {
public:
  explicit RegistrationServer(std::weak_ptr<RouterState> state) : state_(std::move(state)) {}
  void invoke(const std::string& selector, xpc::Values arguments, xpc::Reply reply) override {
    const auto state = state_.lock();
    if (!state || selector != TokenOwnerRegistrationProtocol::registerOwnerSelector) return;
    const std::lock_guard lock(state->mutex);
    state->registrations.push_back(std::get<xpc::Endpoint>(arguments.at(0)));
    switch (state->answer) {
      case RouterState::Answer::accept: reply({true}); break;
      case RouterState::Answer::refuse: reply({false}); break;
      case RouterState::Answer::never: state->unanswered.push_back(std::move(reply)); break;
    }
  }

private:
  std::weak_ptr<RouterState> state_;
};

class RouterDelegate final : public xpc::ListenerDelegate {
public:
  explicit RouterDelegate(std::shared_ptr<RouterState> state) : state_(std::move(state)) {}
  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    connection->setExportedInterface(TokenOwnerRegistrationProtocol::interface());
    connection->setExportedObject(std::make_shared<RegistrationServer>(state_));
    connection->setInvalidationHandler([weak = std::weak_ptr<RouterState>(state_)] {
      if (const auto state = weak.lock()) {
        const std::lock_guard lock(state->mutex);
        ++state->closed;
      }
    });
    {
      const std::lock_guard lock(state_->mutex);
      ++state_->accepted;
      state_->connections.push_back(connection);
    }
    connection->resume();
    return true;
  }

private:
  std::shared_ptr<RouterState> state_;
};

// Serves the registration service name of the test team, answering as told.
class FakeRouter {
public:
  FakeRouter(xpc::Context& context, RouterState::Answer answer)
      : state_(std::make_shared<RouterState>(answer)),
        delegate_(std::make_shared<RouterDelegate>(state_)),
        path_(xpc::serviceSocketPath(context, TokenPeerIdentity::registrationServiceName(team))) {
    listener_ = xpc::Listener::forService(context, TokenPeerIdentity::registrationServiceName(team));
    listener_->setConnectionCodeSigningRequirement(requirementOf(TokenPeerIdentity::ownerID));
    listener_->setDelegate(delegate_);
    listener_->resume();
  }
  // Gone once its socket is: a router started next takes the name at once.
  ~FakeRouter() {
    die();
    eventually([&] { return !std::filesystem::exists(path_); });
  }
  FakeRouter(const FakeRouter&) = delete;
  FakeRouter& operator=(const FakeRouter&) = delete;

  // The agent exits: its service and every connection to it go.
  void die() {
    listener_->invalidate();
    std::vector<std::shared_ptr<xpc::Connection>> connections;
    std::vector<xpc::Reply> unanswered;
    {
      const std::lock_guard lock(state_->mutex);
      connections = std::exchange(state_->connections, {});
      unanswered = std::exchange(state_->unanswered, {});
    }
    for (const auto& connection : connections) connection->invalidate();
  }

  std::vector<xpc::Endpoint> registrations() const {
    const std::lock_guard lock(state_->mutex);
    return state_->registrations;
  }
  int accepted() const {
    const std::lock_guard lock(state_->mutex);
    return state_->accepted;
  }
  int closed() const {
    const std::lock_guard lock(state_->mutex);
    return state_->closed;
  }

private:
  std::shared_ptr<RouterState> state_;
  std::shared_ptr<RouterDelegate> delegate_;
  std::string path_;
  std::shared_ptr<xpc::Listener> listener_;
};

// ---- The extension's side ----------------------------------------------------------------

// How a sign call ended: the reply's values, or the layer's error.
struct Answer {
  std::optional<xpc::Values> reply;
  std::optional<xpc::Error> error;
};

::testing::AssertionResult answeredWithStatus(const Answer& answer, TokenOwnerReplyStatus expected) {
  if (!answer.reply) return ::testing::AssertionFailure() << "no reply but an error";
  const auto& values = *answer.reply;
  if (values.size() != 2 || !std::holds_alternative<std::monostate>(values[0])) {
    return ::testing::AssertionFailure() << "the reply carries data";
  }
  const auto status = std::get<std::int64_t>(values[1]);
  if (status != expected.rawValue()) return ::testing::AssertionFailure() << "status " << status;
  return ::testing::AssertionSuccess();
}

// A connection to the app's listener as the token extension makes it.
class Extension {
public:
  Extension(xpc::Context& context, const xpc::Endpoint& endpoint)
      : connection_(xpc::Connection::toEndpoint(context, endpoint)) {
    connection_->setCodeSigningRequirement(requirementOf(TokenPeerIdentity::ownerID));
    connection_->setRemoteInterface(TokenSessionOwnerProtocol::interface());
    connection_->setInvalidationHandler([invalidated = invalidated_] { invalidated->put(true); });
    connection_->resume();
  }
  ~Extension() { connection_->invalidate(); }
  Extension(const Extension&) = delete;
  Extension& operator=(const Extension&) = delete;

  std::shared_ptr<OnceBox<Answer>> send(Bytes encoded, std::string typed = code) {
    auto answer = OnceBox<Answer>::make();
    connection_->send(
        std::string(TokenSessionOwnerProtocol::signSelector), {std::move(encoded), std::move(typed)},
        [answer](xpc::Values values) { answer->put(Answer{std::move(values), std::nullopt}); },
        [answer](xpc::Error error) { answer->put(Answer{std::nullopt, error}); });
    return answer;
  }

  static Answer await(const std::shared_ptr<OnceBox<Answer>>& answer) {
    auto result = answer->wait(hangLimit);
    if (!result) throw std::runtime_error("a sign call was never answered");
    return *result;
  }

  Answer sign(Bytes encoded, std::string typed = code) { return await(send(std::move(encoded), std::move(typed))); }

  // Whether the bridge took the connection: a call that the owner answers at once (not a
  // request) comes back with a status, while a refused connection fails it.
  bool isServed() { return sign(platform::bytesOf("{}")).reply.has_value(); }

  bool waitUntilInvalidated() { return invalidated_->wait(hangLimit).has_value(); }
  void invalidate() { connection_->invalidate(); }

private:
  std::shared_ptr<xpc::Connection> connection_;
  std::shared_ptr<OnceBox<bool>> invalidated_ = OnceBox<bool>::make();
};

// ---- The owner --------------------------------------------------------------------------

// Signs with the certificate's key, as the service does. The next call can be held until the
// test releases it (or the owner cancels it), or made to fail.
class FakeSigner final : public TokenRemoteSigner {
public:
  SharedResult<void> holdNext() {
    const std::lock_guard lock(mutex_);
    nextHold_ = SharedResult<void>();
    holds_.push_back(*nextHold_);
    return *nextHold_;
  }
  void failNext(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    nextFailure_ = std::move(error);
  }
  bool holdsACall() const { return holding_; }
  void releaseAll() {
    const std::lock_guard lock(mutex_);
    for (const auto& hold : holds_) hold.setValue();
  }

  asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string) override {
    std::optional<SharedResult<void>> hold;
    std::exception_ptr failure;
    {
      const std::lock_guard lock(mutex_);
      hold = std::exchange(nextHold_, std::nullopt);
      failure = std::exchange(nextFailure_, nullptr);
    }
    if (hold) {
      holding_ = true;
      auto released = hold->wait();
      co_await std::move(released);
      holding_ = false;
    }
    if (failure) std::rethrow_exception(failure);
    co_return RemoteSignature{sharedTestKeys().p256.sign(request.algorithm().securityAlgorithm(), request.digest()),
                              true};
  }

private:
  std::mutex mutex_;
  std::optional<SharedResult<void>> nextHold_;
  std::vector<SharedResult<void>> holds_;
  std::exception_ptr nextFailure_;
  std::atomic<bool> holding_ = false;
};

std::vector<std::filesystem::path> anonymousSockets(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().starts_with("anonymous-")) found.push_back(entry.path());
  }
  return found;
}

// ---- The fixture ------------------------------------------------------------------------

// A runtime directory of its own, the XPC context over it, the app's signing identity, an owner
// over the fake signer on a runtime of its own threads, and the router when a test starts one.
class BridgeTest : public ::testing::Test {
protected:
  void SetUp() override {
    codeSigning->setSelf(FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::ownerID), team));
    TokenSigningOwner::Clocks clocks;
    clocks.ticks = &ticks;
    clocks.continuous = &clock;
    clocks.date = [] { return testing::testNow; };
    owner = std::make_shared<TokenSigningOwner>(runtime.io(), signer, TokenSigningOwner::unknownAttribution, clocks);
    const auto der = testing::ecCertificate();
    PublicCertificate published("certificate-1", "document_signing", der, "", CertificateProfile(der));
    identity = awaitOn(runtime.io(), owner->activate(published, "account-1", "role-1"));
    context.emplace(xpc::RuntimeDirectory::at(runtimeDirectory()), xpc::ContextOptions{verifier});
  }

  // The connections first, while the context that runs their handlers exists; the context before
  // the owner, whose exports it may still hold; the owner before its runtime.
  void TearDown() override {
    signer->releaseAll();
    extensions.clear();
    bridge.reset();
    router.reset();
    context.reset();
  }

  std::string runtimeDirectory() const { return (temporary.path() / "run").string(); }

  FakeRouter& serveRouter(RouterState::Answer answer = RouterState::Answer::accept) {
    router.emplace(*context, answer);
    return *router;
  }

  std::shared_ptr<TokenCompanionBridge> newBridge(TokenCompanionBridge::Options options = {}) {
    bridge = std::make_shared<TokenCompanionBridge>(owner, *context, codeSigning, options);
    return bridge;
  }

  Extension& connectExtension(const xpc::Endpoint& endpoint) {
    return *extensions.emplace_back(std::make_unique<Extension>(*context, endpoint));
  }

  xpc::Endpoint registeredEndpoint() const {
    const auto registrations = router->registrations();
    if (registrations.size() != 1) throw std::runtime_error("not exactly one registration");
    return registrations.front();
  }

  TokenSignRequest newRequest() {
    Bytes digest(32);
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(++digestSeed * 7 + i);
    return TokenSignRequest::make(*identity, SigningAlgorithm::ecdsaSHA256, digest, testing::testNow, ticks);
  }

  bool nothingListens() const {
    return eventually([&] { return anonymousSockets(runtimeDirectory()).empty(); });
  }

  platform::foundation::testing::TemporaryDirectory temporary{"/tmp"};
  std::shared_ptr<TestVerifier> verifier = std::make_shared<TestVerifier>();
  std::shared_ptr<FakeCodeSigning> codeSigning = std::make_shared<FakeCodeSigning>();
  platform::runtime::testing::ManualClock clock;
  ContinuousClockTicks ticks{clock};
  platform::runtime::Runtime runtime{platform::runtime::RuntimeOptions{2, 1}};
  std::shared_ptr<FakeSigner> signer = std::make_shared<FakeSigner>();
  std::shared_ptr<TokenSigningOwner> owner;
  std::optional<TokenIdentity> identity;
  std::optional<xpc::Context> context;
  std::optional<FakeRouter> router;
  std::shared_ptr<TokenCompanionBridge> bridge;
  std::vector<std::unique_ptr<Extension>> extensions;
  int digestSeed = 0;
};

// ---- Starting -------------------------------------------------------------------------------

TEST_F(BridgeTest, AStartedBridgeIsRegisteredAndServesTheExtensionThroughItsEndpoint) {
  serveRouter();
  newBridge()->start();

  EXPECT_TRUE(bridge->isConnected());
  const auto endpoint = registeredEndpoint();
  EXPECT_EQ(anonymousSockets(runtimeDirectory()), std::vector<std::filesystem::path>{endpoint.socketPath});
  // The router was required to be the router, the extension to be the extension.
  EXPECT_TRUE(verifier->wasChecked(requirementOf(TokenPeerIdentity::routerID)));

  auto& extension = connectExtension(endpoint);
  const auto request = newRequest();
  const auto answer = extension.sign(request.encodedJSON());

  EXPECT_TRUE(verifier->wasChecked(requirementOf(TokenPeerIdentity::driverID)));
  ASSERT_TRUE(answer.reply.has_value());
  ASSERT_EQ(answer.reply->size(), 2u);
  EXPECT_EQ(std::get<std::int64_t>(answer.reply->at(1)), TokenOwnerReplyStatus::success.rawValue());
  const auto& signature = std::get<Bytes>(answer.reply->at(0));
  EXPECT_NO_THROW(VerificationKey(sharedTestKeys().p256.publicKey())
                      .verify(signature, request.digest, SigningAlgorithm::ecdsaSHA256));
  EXPECT_EQ(awaitOn(runtime.io(), owner->activity()).verifiedSignatures, 1);
}

// The own identity decides the service names and requirements; without one nothing is opened.
TEST_F(BridgeTest, WithoutAUsableSigningSetupStartOpensNothing) {
  struct Row {
    const char* name;
    std::function<void()> breakSetup;
  };
  const std::vector<Row> rows{
      {"UnsignedApp", [this] { codeSigning->setSelf(platform::codesign::CodeIdentity{}); }},
      {"OwnIdentityUnreadable", [this] { codeSigning->setSelf(std::nullopt); }},
      {"MalformedTeam",
       [this] { codeSigning->setSelf(FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::ownerID), "teamabcde1")); }},
      {"RequirementRefused", [this] { verifier->refuseRequirements(); }},
  };
  serveRouter();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    codeSigning->setSelf(FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::ownerID), team));
    row.breakSetup();
    newBridge();
    EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::signingSetupRequired));
    EXPECT_FALSE(bridge->isConnected());
    EXPECT_TRUE(nothingListens());
  }
  EXPECT_EQ(router->accepted(), 0);
}

// Every way the router can fail the registration stops the bridge and leaves nothing open.
TEST_F(BridgeTest, ARegistrationTheRouterDoesNotTakeStopsTheBridge) {
  struct Row {
    const char* name;
    std::optional<RouterState::Answer> router;  // none: the agent is not running
  };
  const std::vector<Row> rows{{"RouterAbsent", std::nullopt}, {"AnotherOwnerHoldsTheSlot", RouterState::Answer::refuse}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    router.reset();
    if (row.router) serveRouter(*row.router);
    newBridge();

    EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));

    EXPECT_FALSE(bridge->isConnected());
    EXPECT_TRUE(nothingListens());
    if (row.router) {
      ASSERT_EQ(router->registrations().size(), 1u);
      // The endpoint the router was offered leads nowhere any more, and the router connection went.
      auto& extension = connectExtension(registeredEndpoint());
      EXPECT_TRUE(extension.waitUntilInvalidated());
      EXPECT_TRUE(eventually([&] { return router->closed() == 1; }));
    }
    // A bridge that failed to start stays stopped.
    router.reset();
    serveRouter();
    EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));
    EXPECT_EQ(router->accepted(), 0);
  }
}

// The router never answers: start gives up at the registration limit, not before, and not when
// the router would have answered.
TEST_F(BridgeTest, AnUnansweredRegistrationEndsAtTheLimit) {
  serveRouter(RouterState::Answer::never);
  TokenCompanionBridge::Options options;
  options.registrationLimit = 200ms;
  newBridge(options);

  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));
  const auto waited = std::chrono::steady_clock::now() - began;

  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 10s);
  EXPECT_EQ(router->registrations().size(), 1u);
  EXPECT_FALSE(bridge->isConnected());
  EXPECT_TRUE(nothingListens());
}

// Counts the waits that observe the clock, so that a test knows when start() is waiting.
class ObservedClock final : public platform::runtime::ContinuousClock {
public:
  Instant now() const override { return manual.now(); }
  Duration timerWait(Duration remaining) const override { return manual.timerWait(remaining); }
  Observation observeJumps(std::function<void()> wake) const override {
    ++observations;
    return manual.observeJumps(std::move(wake));
  }

  platform::runtime::testing::ManualClock manual;
  mutable std::atomic<int> observations = 0;
};

TEST_F(BridgeTest, TheRegistrationLimitIsFiveSecondsOfTheBridgesClock) {
  serveRouter(RouterState::Answer::never);
  ObservedClock registrationClock;
  TokenCompanionBridge::Options options;
  options.clock = &registrationClock;
  newBridge(options);

  auto starting = std::async(std::launch::async, [this] { bridge->start(); });
  // Whatever fails below, the waiting start ends before the future's destruction waits for it.
  const struct EndTheWait {
    ObservedClock& clock;
    ~EndTheWait() { clock.manual.advance(1h); }
  } endTheWait{registrationClock};
  ASSERT_TRUE(eventually([&] { return registrationClock.observations.load() > 0; }));
  registrationClock.manual.advance(5s - 1ms);
  EXPECT_EQ(starting.wait_for(100ms), std::future_status::timeout);
  registrationClock.manual.advance(1ms);

  ASSERT_EQ(starting.wait_for(hangLimit), std::future_status::ready);
  EXPECT_TRUE(testing::throwsExactly([&] { starting.get(); }, TokenFailure::unavailable));
  EXPECT_FALSE(bridge->isConnected());
}

TEST_F(BridgeTest, ASecondStartThrowsAndLeavesTheRunningBridgeAlone) {
  serveRouter();
  newBridge()->start();
  const auto endpoint = registeredEndpoint();

  EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));

  EXPECT_TRUE(bridge->isConnected());
  EXPECT_EQ(router->accepted(), 1);
  EXPECT_EQ(router->registrations().size(), 1u);
  // The listener made for the refused start is closed; the running one still serves.
  EXPECT_TRUE(eventually([&] { return anonymousSockets(runtimeDirectory()).size() == 1; }));
  const auto answer = connectExtension(endpoint).sign(newRequest().encodedJSON());
  ASSERT_TRUE(answer.reply.has_value());
  EXPECT_EQ(std::get<std::int64_t>(answer.reply->at(1)), 0);
  EXPECT_EQ(router->closed(), 0);
}

// ---- Stopping -------------------------------------------------------------------------------

TEST_F(BridgeTest, TheRouterGoingAwayStopsTheBridgeForGood) {
  serveRouter();
  newBridge()->start();
  auto& extension = connectExtension(registeredEndpoint());
  ASSERT_TRUE(extension.isServed());

  router->die();

  EXPECT_TRUE(eventually([&] { return !bridge->isConnected(); }));
  EXPECT_TRUE(extension.waitUntilInvalidated());
  EXPECT_TRUE(nothingListens());
  router.reset();
  serveRouter();
  EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));
  EXPECT_EQ(router->accepted(), 0);
}

TEST_F(BridgeTest, StopClosesEverythingOnceAndReleasingTheBridgeStopsIt) {
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "released" : "stopped twice");
    router.reset();
    serveRouter();
    newBridge()->start();
    auto& extension = connectExtension(registeredEndpoint());
    ASSERT_TRUE(extension.isServed());

    if (release) {
      bridge.reset();
    } else {
      bridge->stop();
      EXPECT_FALSE(bridge->isConnected());
      bridge->stop();
      EXPECT_FALSE(bridge->isConnected());
    }

    EXPECT_TRUE(extension.waitUntilInvalidated());
    EXPECT_TRUE(eventually([&] { return router->closed() == 1; }));
    EXPECT_TRUE(nothingListens());
    if (!release) {
      EXPECT_TRUE(testing::throwsExactly([&] { bridge->start(); }, TokenFailure::unavailable));
    }
    EXPECT_EQ(router->accepted(), 1);
    EXPECT_EQ(router->closed(), 1);
  }
}

// ---- Accepting extensions -------------------------------------------------------------------

TEST_F(BridgeTest, ANinthConnectionIsRefusedUntilOneOfTheEightCloses) {
  serveRouter();
  newBridge()->start();
  const auto endpoint = registeredEndpoint();
  std::vector<Extension*> held;
  for (std::size_t i = 0; i < TokenCompanionBridge::maximumConnectionCount; ++i) {
    held.push_back(&connectExtension(endpoint));
    ASSERT_TRUE(held.back()->isServed()) << "connection " << i;
  }

  auto& ninth = connectExtension(endpoint);
  EXPECT_FALSE(ninth.isServed());
  EXPECT_TRUE(ninth.waitUntilInvalidated());

  held.front()->invalidate();
  // The bridge hears of the closed connection on its own thread; until then a newcomer may still
  // find eight held.
  EXPECT_TRUE(eventually([&] { return connectExtension(endpoint).isServed(); }));
  for (auto* extension : held) EXPECT_TRUE(extension == held.front() || extension->isServed());
}

// A real peer of this user, which a bridge that takes its own user for another sees as a
// stranger's.
TEST_F(BridgeTest, AConnectionOfAnotherUserIsRefused) {
  serveRouter();
  TokenCompanionBridge::Options options;
  options.effectiveUID = ::geteuid() + 1;
  newBridge(options)->start();

  auto& extension = connectExtension(registeredEndpoint());

  EXPECT_FALSE(extension.isServed());
  EXPECT_TRUE(extension.waitUntilInvalidated());
  EXPECT_TRUE(bridge->isConnected());
}

// Made the delegate of a listener it did not open, the bridge serves nobody there.
TEST_F(BridgeTest, OnlyTheBridgesOwnListenerServesTheOwner) {
  serveRouter();
  newBridge()->start();
  const auto foreign = xpc::Listener::anonymous(*context);
  foreign->setDelegate(bridge);
  foreign->resume();

  auto& throughForeign = connectExtension(foreign->endpoint());
  auto& throughOwn = connectExtension(registeredEndpoint());

  EXPECT_FALSE(throughForeign.isServed());
  EXPECT_TRUE(throughForeign.waitUntilInvalidated());
  EXPECT_TRUE(throughOwn.isServed());
  foreign->invalidate();
}

// ---- What the extension is answered ----------------------------------------------------------

TEST_F(BridgeTest, ABusyOwnerIsAnsweredWithUncertainAndTheRunningRequestStillSigns) {
  serveRouter();
  newBridge()->start();
  auto& first = connectExtension(registeredEndpoint());
  auto& second = connectExtension(registeredEndpoint());
  const auto held = signer->holdNext();
  const auto running = first.send(newRequest().encodedJSON());
  ASSERT_TRUE(eventually([&] { return signer->holdsACall(); }));

  const auto refused = second.sign(newRequest().encodedJSON());

  EXPECT_TRUE(answeredWithStatus(refused, TokenOwnerReplyStatus::uncertain));
  held.setValue();
  const auto signedAnswer = Extension::await(running);
  ASSERT_TRUE(signedAnswer.reply.has_value());
  EXPECT_EQ(std::get<std::int64_t>(signedAnswer.reply->at(1)), 0);
  EXPECT_FALSE(std::get<Bytes>(signedAnswer.reply->at(0)).empty());
}

// Each refusal of the owner reaches the extension as its status, with no data.
TEST_F(BridgeTest, EveryFailureOfTheOwnerTravelsAsItsStatus) {
  serveRouter();
  newBridge()->start();
  auto& extension = connectExtension(registeredEndpoint());

  EXPECT_TRUE(answeredWithStatus(extension.sign(newRequest().encodedJSON(), "12345"), TokenOwnerReplyStatus::invalidCode))
      << "a code of five digits";
  signer->failNext(std::make_exception_ptr(RemoteSigningError::incorrectCode));
  EXPECT_TRUE(answeredWithStatus(extension.sign(newRequest().encodedJSON()), TokenOwnerReplyStatus::invalidCode))
      << "a code the service rejects";
  EXPECT_TRUE(answeredWithStatus(extension.sign(platform::bytesOf("not json")), TokenOwnerReplyStatus::uncertain))
      << "not a request";

  signer->holdNext();
  const auto withdrawn = extension.send(newRequest().encodedJSON());
  ASSERT_TRUE(eventually([&] { return signer->holdsACall(); }));
  awaitOn(runtime.io(), owner->invalidate());
  EXPECT_TRUE(answeredWithStatus(Extension::await(withdrawn), TokenOwnerReplyStatus::unavailable))
      << "the identity withdrawn during the remote signing";
  EXPECT_TRUE(answeredWithStatus(extension.sign(newRequest().encodedJSON()), TokenOwnerReplyStatus::unavailable))
      << "no active identity";
}

// Accepts every connection and exports an owner export on it; the exports can be let go while
// the connections stay open.
class ExportingDelegate final : public xpc::ListenerDelegate {
public:
  explicit ExportingDelegate(std::shared_ptr<TokenSigningOwner> owner) : owner_(std::move(owner)) {}
  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    connection->setExportedInterface(TokenSessionOwnerProtocol::interface());
    connection->setExportedObject(std::make_shared<TokenOwnerExport>(owner_));
    connection->resume();
    const std::lock_guard lock(mutex_);
    connections_.push_back(std::move(connection));
    return true;
  }
  void releaseExports() {
    const std::lock_guard lock(mutex_);
    owner_.reset();
    for (const auto& connection : connections_) connection->setExportedObject(nullptr);
  }
  void closeAll() {
    const std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) connection->invalidate();
    connections_.clear();
  }

private:
  std::mutex mutex_;
  std::shared_ptr<TokenSigningOwner> owner_;
  std::vector<std::shared_ptr<xpc::Connection>> connections_;
};

// The runtime goes away with the call's task not yet ended: the extension is still answered, once,
// with uncertain (the service may have signed), not left with a dropped reply.
TEST_F(BridgeTest, ACallWhoseTaskIsTornDownIsAnsweredUncertain) {
  std::optional<asio::io_context> stalled(std::in_place);  // never run: the task never ends
  auto stalledOwner = std::make_shared<TokenSigningOwner>(stalled->get_executor(), signer);
  const std::weak_ptr<TokenSigningOwner> watched = stalledOwner;
  auto delegate = std::make_shared<ExportingDelegate>(stalledOwner);
  stalledOwner.reset();
  const auto listener = xpc::Listener::anonymous(*context);
  listener->setDelegate(delegate);
  listener->resume();
  auto& extension = connectExtension(listener->endpoint());

  const auto answer = extension.send(newRequest().encodedJSON());
  // The delegate's and the export's references, and the task's.
  ASSERT_TRUE(eventually([&] { return watched.use_count() == 3; }));
  delegate->releaseExports();
  ASSERT_TRUE(eventually([&] { return watched.use_count() == 1; }));
  EXPECT_FALSE(answer->current().has_value());

  stalled.reset();

  EXPECT_TRUE(answeredWithStatus(Extension::await(answer), TokenOwnerReplyStatus::uncertain));
  EXPECT_TRUE(watched.expired());
  extensions.clear();
  listener->invalidate();
  delegate->closeAll();
}

TEST(TokenCompanionBridgeCreation, NeedsAnOwnerAndTheCodeSigning) {
  platform::foundation::testing::TemporaryDirectory temporary{"/tmp"};
  xpc::Context context(xpc::RuntimeDirectory::at((temporary.path() / "run").string()));
  asio::io_context io;
  auto owner = std::make_shared<TokenSigningOwner>(io.get_executor(), std::make_shared<FakeSigner>());
  EXPECT_THROW(TokenCompanionBridge(nullptr, context, std::make_shared<FakeCodeSigning>()), std::invalid_argument);
  EXPECT_THROW(TokenCompanionBridge(owner, context, nullptr), std::invalid_argument);
  EXPECT_THROW(TokenOwnerExport(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace corvanta

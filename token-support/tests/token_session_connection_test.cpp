#include "token-support/token_session_connection.hpp"

#include "platform/codesign/testing/fake_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/peer_verifier.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"
#include "token-support/token_session_reply_box.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
namespace xpc = platform::xpc;
using platform::Bytes;
using platform::codesign::testing::FakeCodeSigning;
using platform::runtime::ContinuousClock;
using platform::runtime::testing::ManualClock;

constexpr char team[] = "TEAMABCDE1";

// What must happen at once gets the runner's hang limit of real time before a test calls it a
// failure. The tests' clock never moves by itself, so no time limit of the code under test can end
// a wait early.
constexpr auto eventually = platform::runtime::testing::hangLimit;

std::string requirementFor(std::string_view identifier) { return TokenPeerIdentity::requirement(team, identifier); }

Bytes patterned(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t index = 0; index < count; ++index) bytes[index] = static_cast<std::uint8_t>(index % 251 + 1);
  return bytes;
}

// How a sign call ended.
using Outcome = std::variant<Bytes, TokenFailure, std::string>;

Outcome outcomeOf(const std::function<Bytes()>& call) {
  try {
    return call();
  } catch (const TokenFailure& failure) {
    return failure;
  } catch (const std::exception& error) {
    return std::string("other error: ") + error.what();
  }
}

std::string describe(const Outcome& outcome) {
  if (const auto* bytes = std::get_if<Bytes>(&outcome)) return std::to_string(bytes->size()) + " bytes";
  if (const auto* failure = std::get_if<TokenFailure>(&outcome)) return failure->what();
  return std::get<std::string>(outcome);
}

// Takes the system's requirement texts and is satisfied by any process unless told to refuse a
// text; records every text a connection asked it about, in order. Both ends of these tests are
// one process, so the pid tells nothing here.
class RecordingVerifier final : public xpc::PeerVerifier {
public:
  bool isValidRequirement(std::string_view text) const override {
    return text.starts_with("anchor apple generic ");
  }
  bool satisfies(pid_t, std::string_view text) const override {
    const std::lock_guard lock(mutex_);
    asked_.emplace_back(text);
    return !refused_.contains(std::string(text));
  }
  void refuse(std::string text) {
    const std::lock_guard lock(mutex_);
    refused_.insert(std::move(text));
  }
  std::vector<std::string> asked() const {
    const std::lock_guard lock(mutex_);
    return asked_;
  }

private:
  mutable std::mutex mutex_;
  mutable std::vector<std::string> asked_;
  std::set<std::string> refused_;
};

// A test clock that knows when a reply box waits on it, so a test moves it only once the caller
// has fixed the end of its wait.
class WatchedClock final : public ContinuousClock {
public:
  Instant now() const override { return clock_.now(); }
  Duration timerWait(Duration remaining) const override { return clock_.timerWait(remaining); }
  Observation observeJumps(std::function<void()> wake) const override {
    auto observation = std::make_shared<Observation>(clock_.observeJumps(std::move(wake)));
    changeWaiters(+1);
    return Observation([this, observation]() mutable {
      observation.reset();
      changeWaiters(-1);
    });
  }

  void advance(Duration duration) { clock_.advance(duration); }

  bool waitForWaiters(int count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, eventually, [&] { return waiters_ == count; });
  }

private:
  void changeWaiters(int change) const {
    {
      const std::lock_guard lock(mutex_);
      waiters_ += change;
    }
    changed_.notify_all();
  }

  ManualClock clock_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable int waiters_ = 0;
};

// How a fake peer answers every call.
struct Answer {
  enum class Kind { reply, hold, drop };
  Kind kind = Kind::reply;
  xpc::Values values;

  static Answer with(xpc::Values values) { return {Kind::reply, std::move(values)}; }
  static Answer signature(xpc::Value signature, std::int64_t status) { return with({std::move(signature), status}); }
  static Answer held() { return {Kind::hold, {}}; }
  static Answer dropped() { return {Kind::drop, {}}; }
};

// What one fake peer saw. Shared with the handlers and exported objects of its connections, which
// run on the layer's threads and may outlive the peer.
class PeerRecord {
public:
  // None once the peer was forgotten: a connection it would hold then would outlive the test.
  std::optional<int> accept(std::shared_ptr<xpc::Connection> connection) {
    const std::lock_guard lock(mutex_);
    if (forgotten_) return std::nullopt;
    const int id = accepted_++;
    open_.emplace(id, std::move(connection));
    return id;
  }

  void close(int id) {
    std::shared_ptr<xpc::Connection> closed;
    {
      const std::lock_guard lock(mutex_);
      if (const auto found = open_.find(id); found != open_.end()) {
        closed = std::move(found->second);
        open_.erase(found);
      }
    }
    changed_.notify_all();
  }

  void call(xpc::Values arguments, xpc::Reply reply, const Answer& answer) {
    {
      const std::lock_guard lock(mutex_);
      calls_.push_back(std::move(arguments));
      if (answer.kind == Answer::Kind::hold) held_.push_back(std::move(reply));
    }
    changed_.notify_all();
    if (answer.kind == Answer::Kind::reply) reply(answer.values);
    // A dropped reply goes out of scope unsent: the caller hears that it was dropped.
  }

  bool waitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, eventually, [&] { return calls_.size() >= count; });
  }

  // Every connection this peer accepted has gone.
  bool waitUntilAllClosed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, eventually, [&] { return open_.empty(); });
  }

  int accepted() const {
    const std::lock_guard lock(mutex_);
    return accepted_;
  }
  std::vector<xpc::Values> calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }

  // The peer ends its connections, as an app that quits does.
  void closeAll() {
    std::map<int, std::shared_ptr<xpc::Connection>> open;
    {
      const std::lock_guard lock(mutex_);
      open = open_;
    }
    for (const auto& [id, connection] : open) connection->invalidate();
  }

  void answerHeld(const xpc::Values& values) {
    std::vector<xpc::Reply> held;
    {
      const std::lock_guard lock(mutex_);
      held = std::exchange(held_, {});
    }
    for (auto& reply : held) reply(values);
  }

  // Lets go of every connection and held reply. The handlers of the connections hold this record,
  // so a connection it kept would keep itself alive through them.
  void forget() {
    closeAll();
    std::map<int, std::shared_ptr<xpc::Connection>> open;
    std::vector<xpc::Reply> held;
    const std::lock_guard lock(mutex_);
    forgotten_ = true;
    open = std::exchange(open_, {});
    held = std::exchange(held_, {});
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int accepted_ = 0;
  bool forgotten_ = false;
  std::map<int, std::shared_ptr<xpc::Connection>> open_;
  std::vector<xpc::Values> calls_;
  std::vector<xpc::Reply> held_;
};

class Responder final : public xpc::ExportedObject {
public:
  Responder(std::shared_ptr<PeerRecord> record, Answer answer) : record_(std::move(record)), answer_(std::move(answer)) {}
  void invoke(const std::string&, xpc::Values arguments, xpc::Reply reply) override {
    record_->call(std::move(arguments), std::move(reply), answer_);
  }

private:
  std::shared_ptr<PeerRecord> record_;
  Answer answer_;
};

// A stand-in for the router's directory service or the app's anonymous listener: accepts every
// connection the layer lets through and answers each call as told.
class FakePeer final : public xpc::ListenerDelegate {
public:
  FakePeer(xpc::Interface exported, Answer answer) : exported_(std::move(exported)), answer_(std::move(answer)) {}

  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    const auto id = record_->accept(connection);
    if (!id) return false;
    connection->setExportedInterface(exported_);
    connection->setExportedObject(std::make_shared<Responder>(record_, answer_));
    connection->setInvalidationHandler([record = record_, id = *id] { record->close(id); });
    connection->resume();
    return true;
  }

  PeerRecord& record() { return *record_; }

private:
  xpc::Interface exported_;
  Answer answer_;
  std::shared_ptr<PeerRecord> record_ = std::make_shared<PeerRecord>();
};

enum class Router { answersOwnerEndpoint, answersNone, holds, drops, absent };

// The router and the app, served in this process on real sockets of a temporary runtime
// directory, and the extension's side with its own context on the same directory.
class Scene {
public:
  explicit Scene(Router router = Router::answersOwnerEndpoint,
                 Answer owner = Answer::signature(patterned(64), 0)) {
    codeSigning_.setSelf(FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::driverID), team));
    owner_ = std::make_shared<FakePeer>(TokenSessionOwnerProtocol::interface(), std::move(owner));
    ownerListener_ = xpc::Listener::anonymous(servers_);
    ownerListener_->setDelegate(owner_);
    ownerListener_->resume();
    if (router == Router::absent) return;
    const std::map<Router, Answer> answers{
        {Router::answersOwnerEndpoint, Answer::with({ownerListener_->endpoint()})},
        {Router::answersNone, Answer::with({std::monostate{}})},
        {Router::holds, Answer::held()},
        {Router::drops, Answer::dropped()},
    };
    router_ = std::make_shared<FakePeer>(TokenEndpointDirectoryProtocol::interface(), answers.at(router));
    routerListener_ = xpc::Listener::forService(servers_, TokenPeerIdentity::directoryServiceName(team));
    routerListener_->setDelegate(router_);
    routerListener_->resume();
  }

  ~Scene() {
    if (routerListener_) routerListener_->invalidate();
    ownerListener_->invalidate();
    if (router_) router_->record().forget();
    owner_->record().forget();
  }

  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  TokenSessionConnection connection() { return TokenSessionConnection(extension_, codeSigning_, ticks_, clock_); }

  // A well-formed request whose deadline lies `secondsLeft` ahead of the clock.
  TokenSignRequest request(double secondsLeft = 90.0) const {
    TokenSignRequest request;
    request.requestID = platform::foundation::UUID::random();
    request.activationID = platform::foundation::UUID::random();
    request.certificateFingerprint = Bytes(TokenSignRequest::certificateFingerprintByteCount, 0xA5);
    request.keyObjectID = "key:" + std::string(64, 'c');
    request.algorithmName = std::string(SigningAlgorithm::ecdsaSHA256.rawValue());
    request.digest = Bytes(32, 0x5A);
    request.createdTicks = TokenClock::now(ticks_);
    request.deadlineTicks = TokenClock::deadline(secondsLeft, request.createdTicks, ticks_);
    return request;
  }

  WatchedClock& clock() { return clock_; }
  const TickSource& ticks() const { return ticks_; }
  FakeCodeSigning& codeSigning() { return codeSigning_; }
  RecordingVerifier& verifier() { return *verifier_; }
  PeerRecord& router() { return router_->record(); }
  PeerRecord& owner() { return owner_->record(); }

private:
  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::shared_ptr<RecordingVerifier> verifier_ = std::make_shared<RecordingVerifier>();
  xpc::Context servers_{xpc::RuntimeDirectory::at(temporary_.path() / "run"), xpc::ContextOptions{verifier_}};
  xpc::Context extension_{xpc::RuntimeDirectory::at(temporary_.path() / "run"), xpc::ContextOptions{verifier_}};
  FakeCodeSigning codeSigning_;
  WatchedClock clock_;
  ContinuousClockTicks ticks_{clock_};
  std::shared_ptr<FakePeer> owner_;
  std::shared_ptr<xpc::Listener> ownerListener_;
  std::shared_ptr<FakePeer> router_;
  std::shared_ptr<xpc::Listener> routerListener_;
};

// One sign call on a thread of its own, so that the test can move the clock while it blocks.
class SignCall {
public:
  SignCall(Scene& scene, TokenSignRequest request, std::chrono::nanoseconds timeout, std::string code = "042137")
      : clock_(scene.clock()),
        result_(std::async(std::launch::async, [connection = scene.connection(), request = std::move(request),
                                                code = std::move(code), timeout]() mutable {
          return outcomeOf([&] { return connection.sign(request, code, timeout); });
        })) {}

  ~SignCall() {
    if (result_.valid() && !endsWithin(0s)) release();
  }

  SignCall(const SignCall&) = delete;
  SignCall& operator=(const SignCall&) = delete;

  bool endsWithin(std::chrono::milliseconds limit) const {
    return result_.wait_for(limit) == std::future_status::ready;
  }

  Outcome outcome() {
    if (!endsWithin(eventually)) {
      ADD_FAILURE() << "the call did not end";
      release();
    }
    return result_.get();
  }

private:
  // Moves the clock past every limit, so that a call that failed to end does not hold the test.
  void release() {
    clock_.advance(1h);
    result_.wait();
  }

  WatchedClock& clock_;
  std::future<Outcome> result_;
};

// -------------------------------------------------------------------------------------------------
// The reply box

// Stands still; its one observation ends by delivering a reply, which is the moment after the
// box's wait has given up and before the caller stores its timeout.
class ClockThatDeliversAsTheWaitEnds final : public ContinuousClock {
public:
  explicit ClockThatDeliversAsTheWaitEnds(std::function<void()> deliver) : deliver_(std::move(deliver)) {}
  Instant now() const override { return Instant::fromNanoseconds(1'000'000'000); }
  Duration timerWait(Duration) const override { return 1h; }
  Observation observeJumps(std::function<void()>) const override { return Observation(deliver_); }

private:
  std::function<void()> deliver_;
};

TEST(TokenSessionReplyBox, TheFirstResultIsTheOutcome) {
  const ManualClock clock;
  const ReplyBox signed_;
  EXPECT_TRUE(signed_.finish(patterned(3)));
  EXPECT_FALSE(signed_.finish(TokenFailure::ownerUnavailable));
  EXPECT_EQ(outcomeOf([&] { return signed_.wait(1h, clock); }), Outcome(patterned(3)));

  const ReplyBox failed;
  EXPECT_TRUE(failed.finish(TokenFailure::ownerReplyUnavailable));
  EXPECT_FALSE(failed.finish(patterned(3)));
  EXPECT_EQ(outcomeOf([&] { return failed.wait(1h, clock); }), Outcome(TokenFailure::ownerReplyUnavailable));
}

TEST(TokenSessionReplyBox, AReplyAfterTheTimeoutIsDroppedWhole) {
  const ManualClock clock;
  const ReplyBox box;
  EXPECT_EQ(outcomeOf([&] { return box.wait(0s, clock); }), Outcome(TokenFailure::uncertainOutcome));
  EXPECT_FALSE(box.finish(patterned(3)));
  EXPECT_EQ(outcomeOf([&] { return box.wait(0s, clock); }), Outcome(TokenFailure::uncertainOutcome));

  const EndpointReplyBox endpoint;
  EXPECT_FALSE(endpoint.wait(0s, clock).has_value());
  EXPECT_FALSE(endpoint.finish(xpc::Endpoint{"/tmp/late"}));
  EXPECT_FALSE(endpoint.wait(0s, clock).has_value());
}

TEST(TokenSessionReplyBox, AReplyLandingAsTheWaitGivesUpIsTakenNotReportedAsATimeout) {
  // The app signed: reporting a timeout now would hide a signature that was made.
  const ReplyBox box;
  const ClockThatDeliversAsTheWaitEnds clock([box] { box.finish(patterned(5)); });
  EXPECT_EQ(outcomeOf([&] { return box.wait(0s, clock); }), Outcome(patterned(5)));
  EXPECT_FALSE(box.finish(TokenFailure::uncertainOutcome));
}

// -------------------------------------------------------------------------------------------------
// The session connection

TEST(TokenSessionConnection, RefusesBeforeOpeningAnyConnection) {
  Scene scene;
  const auto valid = FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::driverID), team);
  const struct {
    const char* name;
    std::function<void(TokenSignRequest&)> change;
    std::chrono::nanoseconds timeout;
    std::optional<platform::codesign::CodeIdentity> self;
    TokenFailure expected;
  } rows[] = {
      {"zero timeout", {}, 0s, valid, TokenFailure::expired},
      {"negative timeout", {}, -1ns, valid, TokenFailure::expired},
      {"31-byte fingerprint, checked before the timeout",
       [](TokenSignRequest& request) { request.certificateFingerprint.pop_back(); }, 0s, valid,
       TokenFailure::invalidInput},
      {"algorithm name in other letter case",
       [](TokenSignRequest& request) { request.algorithmName = "ECDSASHA256"; }, 10s, valid,
       TokenFailure::invalidInput},
      {"own identity unreadable", {}, 10s, std::nullopt, TokenFailure::signingSetupRequired},
      {"unsigned", {}, 10s, platform::codesign::CodeIdentity{}, TokenFailure::signingSetupRequired},
      {"team in lower case", {}, 10s, FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::driverID), "teamabcde1"),
       TokenFailure::signingSetupRequired},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    scene.codeSigning().setSelf(row.self);
    auto request = scene.request();
    if (row.change) row.change(request);
    SignCall call(scene, request, row.timeout);
    EXPECT_EQ(call.outcome(), Outcome(row.expected));
  }

  // The same router takes the next proper call: had any of those connected, it would have seen it
  // before this one.
  scene.codeSigning().setSelf(valid);
  SignCall proper(scene, scene.request(), 10s);
  EXPECT_EQ(proper.outcome(), Outcome(patterned(64)));
  EXPECT_EQ(scene.router().accepted(), 1);
  EXPECT_EQ(scene.owner().accepted(), 1);
}

TEST(TokenSessionConnection, WithoutAnEndpointFromTheRouterItEndsAtOnce) {
  // The clock never moves, so neither the 5-second lookup limit nor the deadline ends these.
  const struct {
    const char* name;
    Router router;
    bool refuseRouter;
    bool routerClosesMidWait;
  } rows[] = {
      {"no router listening", Router::absent, false, false},
      {"router has nothing registered", Router::answersNone, false, false},
      {"router drops the reply", Router::drops, false, false},
      {"router closes the connection while asked", Router::holds, false, true},
      {"router is not the router process", Router::answersOwnerEndpoint, true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Scene scene(row.router);
    if (row.refuseRouter) scene.verifier().refuse(requirementFor(TokenPeerIdentity::routerID));
    SignCall call(scene, scene.request(), 60s);
    if (row.routerClosesMidWait) {
      ASSERT_TRUE(scene.router().waitForCalls(1));
      scene.router().closeAll();
    }
    EXPECT_EQ(call.outcome(), Outcome(TokenFailure::endpointUnavailable));
    EXPECT_EQ(scene.owner().accepted(), 0);
    if (row.router == Router::absent) continue;
    if (row.refuseRouter) {
      EXPECT_TRUE(scene.router().calls().empty());
    }
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

TEST(TokenSessionConnection, TheLookupWaitsAtMostFiveSecondsAndNeverPastTheDeadline) {
  const struct {
    double secondsLeft;
    std::chrono::milliseconds limit;
  } rows[] = {{3.0, 3000ms}, {90.0, 5000ms}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.secondsLeft);
    Scene scene(Router::holds);  // the router never answers on its own
    SignCall call(scene, scene.request(row.secondsLeft), 60s);
    ASSERT_TRUE(scene.router().waitForCalls(1));
    ASSERT_TRUE(scene.clock().waitForWaiters(1));

    scene.clock().advance(row.limit - 100ms);
    EXPECT_FALSE(call.endsWithin(200ms)) << "ended before its limit";
    scene.clock().advance(100ms);
    EXPECT_EQ(call.outcome(), Outcome(TokenFailure::endpointUnavailable));
    EXPECT_EQ(scene.owner().accepted(), 0);
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

TEST(TokenSessionConnection, TheOwnersReplyBecomesTheSignatureOrTheFailureItsStatusStandsFor) {
  const auto none = xpc::Value(std::monostate{});
  const struct {
    const char* name;
    Answer answer;
    Outcome expected;
  } rows[] = {
      {"1-byte signature", Answer::signature(patterned(1), 0), patterned(1)},
      {"8192-byte signature", Answer::signature(patterned(8192), 0), patterned(8192)},
      {"empty signature", Answer::signature(Bytes{}, 0), TokenFailure::uncertainOutcome},
      {"no signature", Answer::signature(none, 0), TokenFailure::uncertainOutcome},
      {"8193-byte signature", Answer::signature(patterned(8193), 0), TokenFailure::uncertainOutcome},
      {"status 1", Answer::signature(none, 1), TokenFailure::invalidCode},
      {"status 2", Answer::signature(none, 2), TokenFailure::canceled},
      {"status 3", Answer::signature(none, 3), TokenFailure::uncertainOutcome},
      {"status 4", Answer::signature(none, 4), TokenFailure::notAuthenticated},
      {"status 5", Answer::signature(none, 5), TokenFailure::requestChanged},
      {"status 6", Answer::signature(none, 6), TokenFailure::expired},
      {"status 7", Answer::signature(none, 7), TokenFailure::unavailable},
      {"status 8", Answer::signature(none, 8), TokenFailure::uncertainOutcome},
      {"status -1", Answer::signature(none, -1), TokenFailure::uncertainOutcome},
      {"a signature with a failure status", Answer::signature(patterned(64), 1), TokenFailure::invalidCode},
      {"the owner drops the reply", Answer::dropped(), TokenFailure::ownerReplyUnavailable},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Scene scene(Router::answersOwnerEndpoint, row.answer);
    const auto request = scene.request();
    SignCall call(scene, request, 60s, "004217");
    const auto outcome = call.outcome();
    EXPECT_EQ(outcome, row.expected) << describe(outcome);

    const auto calls = scene.owner().calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (xpc::Values{request.encodedJSON(), std::string("004217")}));
    EXPECT_TRUE(scene.owner().waitUntilAllClosed());
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

TEST(TokenSessionConnection, TheAppQuittingDuringTheWaitIsOwnerUnavailableBeforeTheTimeout) {
  Scene scene(Router::answersOwnerEndpoint, Answer::held());
  SignCall call(scene, scene.request(), 60s);
  ASSERT_TRUE(scene.owner().waitForCalls(1));
  scene.owner().closeAll();
  EXPECT_EQ(call.outcome(), Outcome(TokenFailure::ownerUnavailable));
  EXPECT_TRUE(scene.router().waitUntilAllClosed());
}

TEST(TokenSessionConnection, NoReplyInTimeIsUncertainAndALateReplyChangesNothing) {
  const struct {
    std::chrono::nanoseconds timeout;
    double secondsLeft;
    std::chrono::milliseconds limit;
  } rows[] = {{2s, 80.0, 2000ms}, {60s, 3.0, 3000ms}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.limit.count());
    Scene scene(Router::answersOwnerEndpoint, Answer::held());
    SignCall call(scene, scene.request(row.secondsLeft), row.timeout);
    ASSERT_TRUE(scene.owner().waitForCalls(1));
    ASSERT_TRUE(scene.clock().waitForWaiters(1));

    scene.clock().advance(row.limit - 100ms);
    EXPECT_FALSE(call.endsWithin(200ms)) << "ended before its limit";
    scene.clock().advance(100ms);
    EXPECT_EQ(call.outcome(), Outcome(TokenFailure::uncertainOutcome));

    // The app answers after the caller gave up: the call is over and both of its connections with
    // it, so the reply reaches nobody.
    scene.owner().answerHeld({patterned(64), std::int64_t{0}});
    EXPECT_TRUE(scene.owner().waitUntilAllClosed());
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

TEST(TokenSessionConnection, ADeadlineThatIsOverOrTooFarAheadEndsTheCallAfterTheLookupStarted) {
  const struct {
    const char* name;
    std::function<void(TokenSignRequest&)> change;
    TokenFailure expected;
  } rows[] = {
      {"deadline reached", [](TokenSignRequest& request) { request.deadlineTicks = request.createdTicks; },
       TokenFailure::expired},
      {"deadline 91 seconds ahead",
       [](TokenSignRequest& request) { request.deadlineTicks = request.createdTicks + 91'000'000'000; },
       TokenFailure::invalidInput},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Scene scene;
    auto request = scene.request();
    row.change(request);
    SignCall call(scene, request, 60s);
    EXPECT_EQ(call.outcome(), Outcome(row.expected));
    EXPECT_EQ(scene.owner().accepted(), 0);
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

TEST(TokenSessionConnection, EachHopRequiresItsOwnProcessOfTheOwnTeam) {
  {
    Scene scene;
    SignCall call(scene, scene.request(), 60s);
    EXPECT_EQ(call.outcome(), Outcome(patterned(64)));
    EXPECT_EQ(scene.verifier().asked(), (std::vector<std::string>{requirementFor(TokenPeerIdentity::routerID),
                                                                   requirementFor(TokenPeerIdentity::ownerID)}));
  }
  {
    // An endpoint that leads to a process that is not the app gets nothing: not the request, not
    // the code.
    Scene scene;
    scene.verifier().refuse(requirementFor(TokenPeerIdentity::ownerID));
    SignCall call(scene, scene.request(), 60s);
    EXPECT_EQ(call.outcome(), Outcome(TokenFailure::ownerUnavailable));
    EXPECT_TRUE(scene.owner().calls().empty());
    EXPECT_TRUE(scene.owner().waitUntilAllClosed());
    EXPECT_TRUE(scene.router().waitUntilAllClosed());
  }
}

}  // namespace
}  // namespace corvanta

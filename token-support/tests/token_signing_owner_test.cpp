#include "token-support/token_signing_owner.hpp"

#include "connection/certificate/certificate_profile.hpp"
#include "connection/certificate/public_certificate.hpp"
#include "connection/service/remote_signature.hpp"
#include "connection/service/remote_signer.hpp"
#include "connection/service/remote_signing_error.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/testing/fake_http_transport.hpp"
#include "connection/testing/session_test_support.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_attribution.hpp"
#include "sign-core/signing_error.hpp"
#include "sign-core/signing_request.hpp"
#include "sign-core/verification_key.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_owner_reply_status.hpp"
#include "token-support/token_remote_signer.hpp"
#include "token-support/token_sign_request.hpp"
#include "token-support/token_signing_activity.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::Bytes;
using platform::foundation::DecodingError;
using platform::foundation::UUID;
using platform::runtime::SharedResult;
using platform::security::testing::sharedTestKeys;
using platform::security::testing::TestKey;
using testing::FakeHTTPTransport;
using testing::StandInService;
using testing::StandInTransport;
using testing::testNow;

// ---- Checking what a call threw ---------------------------------------------------------------

using ErrorCheck = std::function<::testing::AssertionResult(const std::exception_ptr&)>;

template <typename Error>
ErrorCheck exactly(Error expected) {
  return [expected](const std::exception_ptr& error) {
    if (!error) return ::testing::AssertionFailure() << "returned, expected " << expected.what();
    return testing::throwsExactly<Error>([&] { std::rethrow_exception(error); }, expected);
  };
}

template <typename Error>
ErrorCheck ofType() {
  return [](const std::exception_ptr& error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const Error&) {
      return ::testing::AssertionSuccess();
    } catch (const std::exception& other) {
      return ::testing::AssertionFailure() << "threw another error: " << other.what();
    }
    return ::testing::AssertionFailure() << "no error or one of no known type";
  };
}

// ---- A signer whose answers the test decides ---------------------------------------------------

// Signs with the key it is given, as the service signs with the certificate's private key. The
// next call can be held until the test releases it or made to fail. A held call waits on however
// its caller fares and then notes whether it was cancelled meanwhile, so that a test can show both
// that the cancellation arrived and that an answer coming after it is dropped.
class FakeSigner final : public TokenRemoteSigner {
public:
  class Hold {
  public:
    bool hasArrived() const { return arrived_; }
    void release() const { released_.setValue(); }

  private:
    friend class FakeSigner;
    std::atomic<bool> arrived_ = false;
    SharedResult<void> released_;
  };

  explicit FakeSigner(const TestKey& key) : key_(key) {}

  std::shared_ptr<const Hold> holdNext() {
    const std::lock_guard lock(mutex_);
    nextHold_ = std::make_shared<Hold>();
    return nextHold_;
  }

  void failNext(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    nextFailure_ = std::move(error);
  }

  std::size_t callCount() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }

  std::optional<SigningRequest> lastRequest() const {
    const std::lock_guard lock(mutex_);
    return lastRequest_;
  }

  std::optional<std::string> lastCode() const {
    const std::lock_guard lock(mutex_);
    return lastCode_;
  }

  bool sawCancellation() const {
    const std::lock_guard lock(mutex_);
    return sawCancellation_;
  }

  asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string code) override {
    std::shared_ptr<Hold> held;
    std::exception_ptr failure;
    {
      const std::lock_guard lock(mutex_);
      ++calls_;
      lastRequest_ = request;
      lastCode_ = code;
      held = std::exchange(nextHold_, nullptr);
      failure = std::exchange(nextFailure_, nullptr);
    }
    if (held) {
      held->arrived_ = true;
      auto waiting = held->released_.waitIgnoringCancellation();
      co_await std::move(waiting);
      const bool cancelled = co_await platform::runtime::isCancelled();
      const std::lock_guard lock(mutex_);
      sawCancellation_ = sawCancellation_ || cancelled;
    }
    if (failure) std::rethrow_exception(failure);
    co_return RemoteSignature{key_.sign(request.algorithm().securityAlgorithm(), request.digest()), true};
  }

private:
  const TestKey& key_;
  mutable std::mutex mutex_;
  std::size_t calls_ = 0;
  std::optional<SigningRequest> lastRequest_;
  std::optional<std::string> lastCode_;
  std::shared_ptr<Hold> nextHold_;
  std::exception_ptr nextFailure_;
  bool sawCancellation_ = false;
};

// ---- What every owner test shares ---------------------------------------------------------------

const TestKey& p256Key() { return sharedTestKeys().p256; }
const TestKey& p384Key() { return sharedTestKeys().p384; }
const TestKey& rsaKey() { return sharedTestKeys().rsa2048; }
const TestKey& otherRSAKey() { return sharedTestKeys().rsa2047; }

asio::awaitable<SigningAttribution> answering(SigningAttribution attribution) { co_return attribution; }

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A certificate as the service lists it, valid at the tests' current date.
PublicCertificate certificate(const TestKey& key, std::string usage = "document_signing", long serial = 1) {
  auto der = testing::certificateOf(key, serial);
  CertificateProfile profile(der);
  return PublicCertificate("certificate-" + std::to_string(serial), std::move(usage), std::move(der), "",
                           std::move(profile));
}

// The request's JSON with an extra member that receivers ignore, to exactly `size` bytes.
Bytes paddedTo(const TokenSignRequest& request, std::size_t size) {
  auto json = text(request.encodedJSON());
  const std::string opening = ",\"padding\":\"";
  const std::string closing = "\"";
  const auto fill = size - json.size() - opening.size() - closing.size();
  json.insert(json.size() - 1, opening + std::string(fill, 'x') + closing);
  return platform::bytesOf(json);
}

// The clocks, the context the coroutines run on, an owner created as the app creates it, and the
// requests the token extension would make for its identity. The attribution function and the
// current date are the test's to change.
class OwnerTest : public testing::CoroutineTest {
protected:
  static constexpr std::string_view code = "482913";

  std::shared_ptr<TokenSigningOwner> newOwner(std::shared_ptr<TokenRemoteSigner> signer) {
    TokenSigningOwner::Clocks clocks;
    clocks.ticks = &ticks;
    clocks.continuous = &clock;
    clocks.date = [this] { return currentDate; };
    auto attribution = [this](std::uint64_t createdTicks) {
      attributionTicks.push_back(createdTicks);
      return attributionHook(createdTicks);
    };
    return std::make_shared<TokenSigningOwner>(io.get_executor(), std::move(signer), attribution, clocks);
  }

  Bytes nextDigest(SigningAlgorithm algorithm) {
    ++digestSeed_;
    Bytes digest(static_cast<std::size_t>(algorithm.digestByteCount()));
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(digestSeed_ * 29 + i * 5);
    return digest;
  }

  TokenSignRequest requestFor(const TokenIdentity& identity, SigningAlgorithm algorithm) {
    return TokenSignRequest::make(identity, algorithm, nextDigest(algorithm), testNow, ticks);
  }

  TokenSigningActivity activityOf(const std::shared_ptr<TokenSigningOwner>& owner) { return run(owner->activity()); }

  // Holds every attribution until the returned result is set.
  SharedResult<SigningAttribution> holdAttributions() {
    SharedResult<SigningAttribution> held;
    attributionHook = [held](std::uint64_t) { return held.wait(); };
    return held;
  }

  std::uint64_t nowTicks() const { return TokenClock::now(ticks); }

  ContinuousClockTicks ticks{clock};
  std::chrono::system_clock::time_point currentDate = testNow;
  TokenSigningOwner::AttributionForRequest attributionHook = TokenSigningOwner::unknownAttribution;
  std::vector<std::uint64_t> attributionTicks;

private:
  int digestSeed_ = 0;
};

// ---- Over either signer -------------------------------------------------------------------------

enum class SignerKind { fake, service };

struct OwnerCase {
  const char* name;
  SignerKind kind;
  const TestKey& (*key)();
  // A key of the same kind whose certificate the service's signatures do not verify against.
  const TestKey& (*otherKey)();
  std::vector<SigningAlgorithm> algorithms;
};

void PrintTo(const OwnerCase& ownerCase, std::ostream* out) { *out << ownerCase.name; }

// The owner over the fake signer, or over a real remote signer that sends to the stand-in service
// over HTTPS on 127.0.0.1 under a sign-in at the stand-in. "Reached the signer" counts the fake's
// calls, or the sign-hash requests the stand-in received.
class SignerOwnerTest : public OwnerTest, public ::testing::WithParamInterface<OwnerCase> {
protected:
  void SetUp() override {
    if (GetParam().kind == SignerKind::fake) {
      fake = std::make_shared<FakeSigner>(GetParam().key());
      owner = newOwner(fake);
    } else {
      service.emplace(GetParam().key());
      sessionTransport = std::make_shared<StandInTransport>(*service, 45s);
      signerTransport = std::make_shared<StandInTransport>(*service);
      oauth = std::make_shared<OAuthSession>(io.get_executor(), sessionTransport, clock);
      signInAt(*oauth, *service, "code-1");
      const auto authorization = run(oauth->authorization());
      run(oauth->bindAccount(service->account().sub, authorization));
      remote = std::make_shared<RemoteSigner>(io.get_executor(), oauth, signerTransport, clock);
      owner = newOwner(TokenRemoteSigner::over(remote));
    }
  }

  bool overService() const { return GetParam().kind == SignerKind::service; }
  SigningAlgorithm algorithm() const { return GetParam().algorithms.front(); }

  // An algorithm the certificate's key cannot sign with.
  SigningAlgorithm algorithmOfTheOtherKind() const {
    for (const auto candidate : SigningAlgorithm::allCases()) {
      if (candidate.keyKind() != algorithm().keyKind()) return candidate;
    }
    throw std::logic_error("no other kind of algorithm");
  }

  std::string accountID() const { return service ? service->account().sub : "account-1"; }
  std::string roleID() const { return service ? service->account().roles.at(0).roleUuid : "role-1"; }

  TokenIdentity activate(const PublicCertificate& published) {
    identity = run(owner->activate(published, accountID(), roleID()));
    return *identity;
  }
  TokenIdentity activate(const TestKey& key, std::string usage = "document_signing") {
    return activate(certificate(key, std::move(usage)));
  }
  TokenIdentity activate() { return activate(GetParam().key()); }

  TokenSignRequest request(std::optional<SigningAlgorithm> chosen = std::nullopt) {
    return requestFor(*identity, chosen.value_or(algorithm()));
  }

  // The service takes exactly this code for its next signature.
  void expectCode(const std::string& expected) {
    if (service) service->acceptOneTimeCode(expected);
  }

  // The service refuses the next code: the stand-in because it expects another, the fake because
  // it is told to.
  void refuseNextCode() {
    if (service) {
      service->acceptOneTimeCode("000000");
    } else {
      fake->failNext(std::make_exception_ptr(RemoteSigningError::incorrectCode));
    }
  }

  Bytes sign(const Bytes& encoded, const std::string& typed = std::string(code)) {
    expectCode(typed);
    return run(owner->sign(encoded, typed));
  }
  Bytes sign(const TokenSignRequest& made) { return sign(made.encodedJSON()); }

  std::exception_ptr refusal(const Bytes& encoded, const std::string& typed = std::string(code)) {
    return testing::thrownBy([&] { run(owner->sign(encoded, typed)); });
  }

  std::size_t signerCalls() const {
    return service ? service->requests(StandInService::signHashPath).size() : fake->callCount();
  }

  void expectVerifies(const Bytes& signature, const TokenSignRequest& made, const TestKey& key) const {
    const auto algorithm = *SigningAlgorithm::fromRawValue(made.algorithmName);
    EXPECT_NO_THROW(VerificationKey(key.publicKey()).verify(signature, made.digest, algorithm));
  }

  std::optional<StandInService> service;
  std::shared_ptr<StandInTransport> sessionTransport;
  std::shared_ptr<StandInTransport> signerTransport;
  std::shared_ptr<OAuthSession> oauth;
  std::shared_ptr<RemoteSigner> remote;
  std::shared_ptr<FakeSigner> fake;
  std::shared_ptr<TokenSigningOwner> owner;
  std::optional<TokenIdentity> identity;
};

TEST_P(SignerOwnerTest, EachAlgorithmOfTheKeyGivesAVerifiedSignatureCountedOnce) {
  activate();
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{0, 0, std::nullopt, std::nullopt}));
  std::int64_t signed_ = 0;
  for (const auto chosen : GetParam().algorithms) {
    SCOPED_TRACE(std::string(chosen.rawValue()));
    const auto made = request(chosen);
    const auto before = signerCalls();

    const auto signature = sign(made);

    expectVerifies(signature, made, GetParam().key());
    EXPECT_EQ(signerCalls(), before + 1);
    EXPECT_EQ(attributionTicks.back(), made.createdTicks);
    ++signed_;
    EXPECT_EQ(activityOf(owner), (TokenSigningActivity{signed_, signed_, TokenOwnerReplyStatus::success,
                                                       SigningAttribution::unknown}));
    if (fake) {
      const auto sent = fake->lastRequest();
      ASSERT_TRUE(sent.has_value());
      EXPECT_EQ(sent->algorithm(), chosen);
      EXPECT_EQ(sent->digest(), made.digest);
      EXPECT_EQ(sent->context().backendOrigin(), RemoteSigner::serviceAPIOrigin());
      EXPECT_EQ(sent->context().accountID(), accountID());
      EXPECT_EQ(sent->context().roleID(), roleID());
      EXPECT_EQ(sent->context().credentialID(), "certificate-1");
      EXPECT_EQ(sent->context().certificateSHA256(), identity->certificateFingerprint());
      // The time-out is what remained of the request's 90 seconds.
      EXPECT_EQ(sent->deadline(), clock.now().advancedBy(90s));
      EXPECT_EQ(fake->lastCode(), std::string(code));
    } else {
      const auto wire = service->requests(StandInService::signHashPath).back();
      const auto body = platform::foundation::parseJSON(wire.body).as_object();
      EXPECT_EQ(std::string(body.at("totp_code").as_string()), std::string(code));
      EXPECT_EQ(body.at("usage"), "document_signing");
      EXPECT_EQ(wire.header("x-role-uuid"), roleID());
    }
  }
}

// Every refusal before acceptance, in the order the owner checks, each on a request that is
// otherwise good. A refused request changes nothing: the counters and the last result stay, the
// signer is never reached, and the very same request (same identifier) is then accepted.
TEST_P(SignerOwnerTest, EveryRefusalBeforeAcceptanceChangesNothingAndReachesNoSigner) {
  activate();
  sign(request());

  struct Row {
    const char* name;
    // Turns the good request into what is sent, with the code typed.
    std::function<std::pair<Bytes, std::string>(TokenSignRequest)> send;
    ErrorCheck expected;
    // What the extension is told.
    TokenOwnerReplyStatus status;
  };
  const auto withCode = [](std::string typed) {
    return [typed](TokenSignRequest made) { return std::pair{made.encodedJSON(), typed}; };
  };
  const auto changed = [](std::function<void(TokenSignRequest&)> change) {
    return [change](TokenSignRequest made) {
      change(made);
      return std::pair{made.encodedJSON(), std::string(code)};
    };
  };
  const std::uint64_t second = 1'000'000'000;
  const auto now = nowTicks();
  const auto otherKind = algorithmOfTheOtherKind();
  const std::vector<Row> rows{
      {"OverTheSizeLimit",
       [](TokenSignRequest made) { return std::pair{paddedTo(made, 4097), std::string(code)}; },
       exactly(TokenFailure::unavailable), TokenOwnerReplyStatus::unavailable},
      {"NotARequest",
       [](TokenSignRequest made) {
         auto json = text(made.encodedJSON());
         return std::pair{platform::bytesOf(json.substr(0, json.size() - 1)), std::string(code)};
       },
       ofType<DecodingError>(), TokenOwnerReplyStatus::uncertain},
      {"MissingMember", [](TokenSignRequest) { return std::pair{platform::bytesOf("{}"), std::string(code)}; },
       ofType<DecodingError>(), TokenOwnerReplyStatus::uncertain},
      {"OtherActivation", changed([](auto& made) { made.activationID = UUID::random(); }),
       exactly(TokenFailure::requestChanged), TokenOwnerReplyStatus::requestChanged},
      {"OtherFingerprint", changed([](auto& made) { made.certificateFingerprint[31] ^= 0x01; }),
       exactly(TokenFailure::requestChanged), TokenOwnerReplyStatus::requestChanged},
      {"OtherKeyObject", changed([](auto& made) { made.keyObjectID.back() = made.keyObjectID.back() == 'a' ? 'b' : 'a'; }),
       exactly(TokenFailure::requestChanged), TokenOwnerReplyStatus::requestChanged},
      {"AlgorithmNameInOtherLetterCase", changed([](auto& made) { made.algorithmName[0] ^= 0x20; }),
       exactly(TokenFailure::invalidInput), TokenOwnerReplyStatus::uncertain},
      {"DigestOfAnotherLength", changed([](auto& made) { made.digest.pop_back(); }),
       [this](const std::exception_ptr& error) {
         const auto length = algorithm().digestByteCount();
         return exactly(SigningError::invalidDigestLength(length, length - 1))(error);
       },
       TokenOwnerReplyStatus::uncertain},
      {"CertificateExpiredByNow",
       [this](TokenSignRequest made) {
         currentDate = testing::validUntil + 1h;
         return std::pair{made.encodedJSON(), std::string(code)};
       },
       exactly(TokenFailure::invalidConfiguration), TokenOwnerReplyStatus::uncertain},
      {"DeadlineReached", changed([now, second](auto& made) {
         made.createdTicks = now - 10 * second;
         made.deadlineTicks = now;
       }),
       exactly(TokenFailure::expired), TokenOwnerReplyStatus::expired},
      {"DeadlineMoreThan90SecondsAhead", changed([now, second](auto& made) {
         made.createdTicks = now;
         made.deadlineTicks = now + 90 * second + 1;
       }),
       exactly(TokenFailure::invalidInput), TokenOwnerReplyStatus::uncertain},
      {"CreatedInTheFuture", changed([now, second](auto& made) {
         made.createdTicks = now + second;
         made.deadlineTicks = now + 60 * second;
       }),
       exactly(TokenFailure::invalidInput), TokenOwnerReplyStatus::uncertain},
      {"CreatedAtTheDeadline", changed([now, second](auto& made) {
         made.createdTicks = now + 60 * second;
         made.deadlineTicks = now + 60 * second;
       }),
       exactly(TokenFailure::invalidInput), TokenOwnerReplyStatus::uncertain},
      {"CreatedMoreThan90SecondsBeforeTheDeadline", changed([now, second](auto& made) {
         made.createdTicks = now - 30 * second;
         made.deadlineTicks = now + 60 * second + 1;
       }),
       exactly(TokenFailure::invalidInput), TokenOwnerReplyStatus::uncertain},
      {"KeyCannotUseTheAlgorithm", changed([otherKind](auto& made) {
         made.algorithmName = std::string(otherKind.rawValue());
         made.digest = Bytes(static_cast<std::size_t>(otherKind.digestByteCount()), 0x11);
       }),
       exactly(TokenFailure::unsupported), TokenOwnerReplyStatus::uncertain},
      {"FiveDigits", withCode("48291"), exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"SevenDigits", withCode("4829130"), exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"SpaceAmongDigits", withCode("482 13"), exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"LetterAmongDigits", withCode("48a913"), exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"FullWidthDigits", withCode("\xEF\xBC\x94\xEF\xBC\x98\xEF\xBC\x92\xEF\xBC\x99\xEF\xBC\x91\xEF\xBC\x93"),
       exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"ArabicIndicDigits", withCode("\xD9\xA4\xD9\xA8\xD9\xA2\xD9\xA9\xD9\xA1\xD9\xA3"),
       exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
      {"EmptyCode", withCode(""), exactly(TokenFailure::invalidCode), TokenOwnerReplyStatus::invalidCode},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto good = request();
    const auto before = activityOf(owner);
    const auto calls = signerCalls();
    const auto [encoded, typed] = row.send(good);

    const auto error = refusal(encoded, typed);

    EXPECT_TRUE(row.expected(error));
    EXPECT_EQ(TokenOwnerReplyStatus::fromError(error), row.status);
    EXPECT_EQ(activityOf(owner), before);
    EXPECT_EQ(signerCalls(), calls);

    currentDate = testNow;
    const auto signature = sign(good);
    expectVerifies(signature, good, GetParam().key());
    EXPECT_EQ(activityOf(owner).acceptedRequests, before.acceptedRequests + 1);
  }
}

TEST_P(SignerOwnerTest, TheLimitsThemselvesPass) {
  activate();
  const std::uint64_t second = 1'000'000'000;
  struct Row {
    const char* name;
    std::function<Bytes(TokenSignRequest)> send;
  };
  const std::vector<Row> rows{
      {"Exactly4096Bytes", [](TokenSignRequest made) { return paddedTo(made, 4096); }},
      {"ExactlyNinetySecondsLeft", [](TokenSignRequest made) { return made.encodedJSON(); }},
      {"ExactlyNinetySecondsFromCreationToDeadline",
       [this, second](TokenSignRequest made) {
         made.createdTicks = nowTicks() - 30 * second;
         made.deadlineTicks = made.createdTicks + 90 * second;
         return made.encodedJSON();
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto good = request();
    const auto encoded = row.send(good);
    if (std::string(row.name) == "Exactly4096Bytes") {
      EXPECT_EQ(encoded.size(), 4096u);
    }
    expectVerifies(sign(encoded), good, GetParam().key());
  }
  EXPECT_EQ(activityOf(owner).verifiedSignatures, static_cast<std::int64_t>(rows.size()));
}

TEST_P(SignerOwnerTest, WithoutAnActiveIdentityEveryRequestIsUnavailable) {
  const auto never = testing::identityOf(testing::certificateOf(GetParam().key()));
  const auto made = requestFor(never, algorithm());
  EXPECT_TRUE(exactly(TokenFailure::unavailable)(refusal(made.encodedJSON())));
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{}));

  const auto published = certificate(GetParam().key());
  activate(published);
  const auto accepted = request();
  sign(accepted);
  const auto pending = request();
  run(owner->invalidate());

  // Invalidation keeps the counters and the last result for the app, not the attribution.
  EXPECT_TRUE(exactly(TokenFailure::unavailable)(refusal(pending.encodedJSON())));
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 1, TokenOwnerReplyStatus::success, std::nullopt}));
  // Over the size limit is unavailable too, before anything is parsed.
  EXPECT_TRUE(exactly(TokenFailure::unavailable)(refusal(Bytes(4097, '{'))));
  EXPECT_EQ(signerCalls(), 1u);

  // A new activation of the same certificate is a new identity: its requests pass, the old ones
  // do not, and the counters start again.
  const auto old = *identity;
  activate(published);
  EXPECT_NE(identity->activationID(), old.activationID());
  EXPECT_EQ(identity->instanceID(), old.instanceID());
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{}));
  EXPECT_TRUE(exactly(TokenFailure::requestChanged)(refusal(pending.encodedJSON())));
  sign(request());
  EXPECT_EQ(signerCalls(), 2u);
}

TEST_P(SignerOwnerTest, ARequestIsExecutedOnceEvenWhenItFailedAfterAcceptance) {
  activate();
  const auto signedOnce = request();
  sign(signedOnce);
  const auto refused = request();
  refuseNextCode();
  const auto refusedError = refusal(refused.encodedJSON());
  EXPECT_EQ(TokenOwnerReplyStatus::fromError(refusedError), TokenOwnerReplyStatus::invalidCode);
  EXPECT_TRUE(exactly(RemoteSigningError::incorrectCode)(refusedError));
  const auto after = activityOf(owner);
  EXPECT_EQ(after, (TokenSigningActivity{2, 1, TokenOwnerReplyStatus::invalidCode, SigningAttribution::unknown}));
  const auto calls = signerCalls();

  for (const auto* made : {&signedOnce, &refused}) {
    expectCode(std::string(code));
    EXPECT_TRUE(exactly(TokenFailure::requestChanged)(refusal(made->encodedJSON())));
  }
  EXPECT_EQ(signerCalls(), calls);
  EXPECT_EQ(activityOf(owner), after);
}

TEST_P(SignerOwnerTest, ASecondRequestWhileOneRunsIsRefusedAtOnceAsUncertain) {
  activate();
  const auto held = holdAttributions();
  const auto first = request();
  expectCode(std::string(code));
  const auto running = start(owner->sign(first.encodedJSON(), std::string(code)));
  ASSERT_TRUE(runUntil([&] { return !attributionTicks.empty(); }));

  const auto second = request();
  const auto error = refusal(second.encodedJSON());
  EXPECT_TRUE(exactly(TokenFailure::alreadySubmitted)(error));
  EXPECT_EQ(TokenOwnerReplyStatus::fromError(error), TokenOwnerReplyStatus::uncertain);
  // A request of no active identity is told so first, even while one runs.
  run(owner->invalidate());
  EXPECT_TRUE(exactly(TokenFailure::unavailable)(refusal(second.encodedJSON())));
  EXPECT_EQ(signerCalls(), 0u);

  held.setValue(SigningAttribution::unknown);
  ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));
  EXPECT_TRUE(exactly(TokenFailure::unavailable)(testing::thrownBy([&] { running.get(); })));
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 0, std::nullopt, std::nullopt}));
  EXPECT_EQ(signerCalls(), 0u);
}

TEST_P(SignerOwnerTest, TheRunningRequestEndsFirstAndTheSecondThenPasses) {
  activate();
  const auto held = holdAttributions();
  const auto first = request();
  expectCode(std::string(code));
  const auto running = start(owner->sign(first.encodedJSON(), std::string(code)));
  ASSERT_TRUE(runUntil([&] { return !attributionTicks.empty(); }));
  const auto second = request();
  EXPECT_TRUE(exactly(TokenFailure::alreadySubmitted)(refusal(second.encodedJSON())));

  held.setValue(SigningAttribution::unknown);
  ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));
  expectVerifies(running.get(), first, GetParam().key());
  // The refused request left no trace: it passes now.
  attributionHook = TokenSigningOwner::unknownAttribution;
  expectVerifies(sign(second), second, GetParam().key());
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{2, 2, TokenOwnerReplyStatus::success, SigningAttribution::unknown}));
}

// The attribution comes back after the identity changed: the request records nothing and never
// reaches the signer.
TEST_P(SignerOwnerTest, AnAttributionThatArrivesAfterTheActivationChangedIsDropped) {
  struct Row {
    const char* name;
    std::function<void()> change;
    TokenSigningActivity afterwards;
  };
  const SigningAttribution browser("org.example.browser", true);
  const std::vector<Row> rows{
      {"Invalidated", [&] { run(owner->invalidate()); },
       TokenSigningActivity{2, 1, TokenOwnerReplyStatus::success, std::nullopt}},
      {"ActivatedAnew", [&] { activate(); }, TokenSigningActivity{}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    activate();
    attributionHook = TokenSigningOwner::unknownAttribution;
    sign(request());
    const auto held = holdAttributions();
    const auto made = request();
    const auto running = start(owner->sign(made.encodedJSON(), std::string(code)));
    ASSERT_TRUE(runUntil([&] { return !attributionTicks.empty() && attributionTicks.back() == made.createdTicks; }));
    const auto calls = signerCalls();

    row.change();
    held.setValue(browser);
    ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));

    EXPECT_TRUE(exactly(TokenFailure::unavailable)(testing::thrownBy([&] { running.get(); })));
    EXPECT_EQ(activityOf(owner), row.afterwards);
    EXPECT_EQ(signerCalls(), calls);
  }
}

TEST_P(SignerOwnerTest, ASignatureThatDoesNotVerifyIsRefusedAndCountedAsUncertain) {
  // The service signs with its own key; the active certificate holds another.
  activate(GetParam().otherKey());
  const auto made = request();
  expectCode(std::string(code));
  const auto error = refusal(made.encodedJSON());

  // The remote signer checks the answer itself; a signer that does not is caught by the owner.
  if (overService()) {
    EXPECT_TRUE(exactly(RemoteSigningError::invalidSignature)(error));
  } else {
    EXPECT_TRUE(exactly(SigningError::invalidSignature)(error));
  }
  EXPECT_EQ(signerCalls(), 1u);
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 0, TokenOwnerReplyStatus::uncertain, SigningAttribution::unknown}));
}

TEST_P(SignerOwnerTest, AClientAuthenticationCertificateSignsOnlyForARecognisedBrowser) {
  activate(GetParam().key(), "client_authentication");
  const SigningAttribution editor("org.example.editor", false);
  attributionHook = [editor](std::uint64_t) { return answering(editor); };

  const auto refused = request();
  const auto error = refusal(refused.encodedJSON());
  EXPECT_TRUE(exactly(TokenFailure::unsupported)(error));
  EXPECT_EQ(signerCalls(), 0u);
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 0, TokenOwnerReplyStatus::uncertain, editor}));

  const SigningAttribution browser("org.example.browser", true);
  attributionHook = [browser](std::uint64_t) { return answering(browser); };
  const auto made = request();
  expectVerifies(sign(made), made, GetParam().key());
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{2, 1, TokenOwnerReplyStatus::success, browser}));
  if (fake) {
    EXPECT_EQ(fake->lastRequest()->usage(), "client_authentication");
  } else {
    const auto body =
        platform::foundation::parseJSON(service->requests(StandInService::signHashPath).back().body).as_object();
    EXPECT_EQ(body.at("usage"), "client_authentication");
  }
}

// The identity changes while the service call runs: the call is cancelled, and whatever it
// brings back afterwards is dropped unrecorded. The fake answers with a good signature after the
// cancellation; the stand-in never answers at all, so the request can only end because the
// cancellation closed its connection.
TEST_P(SignerOwnerTest, ChangingTheIdentityDuringTheServiceCallCancelsItAndDropsItsOutcome) {
  struct Row {
    const char* name;
    std::function<void()> change;
    TokenSigningActivity afterwards;
  };
  const std::vector<Row> rows{
      {"Invalidated", [&] { run(owner->invalidate()); },
       TokenSigningActivity{2, 1, TokenOwnerReplyStatus::success, std::nullopt}},
      {"ActivatedAnew", [&] { activate(); }, TokenSigningActivity{}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    activate();
    sign(request());
    std::shared_ptr<const FakeSigner::Hold> held;
    if (fake) {
      held = fake->holdNext();
    } else {
      service->answer(StandInService::signHashPath, StandInService::Reply::stall());
    }
    const auto calls = signerCalls();
    const auto made = request();
    expectCode(std::string(code));
    const auto running = start(owner->sign(made.encodedJSON(), std::string(code)));
    ASSERT_TRUE(runUntil([&] { return signerCalls() == calls + 1; }));

    row.change();
    if (held) held->release();
    ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));

    EXPECT_TRUE(exactly(TokenFailure::unavailable)(testing::thrownBy([&] { running.get(); })));
    if (fake) {
      EXPECT_TRUE(fake->sawCancellation());
    }
    EXPECT_EQ(activityOf(owner), row.afterwards);

    // The owner is idle again: a request of the identity now active passes.
    if (!identity || row.afterwards.acceptedRequests != 0) activate();
    const auto next = request();
    expectVerifies(sign(next), next, GetParam().key());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Signers, SignerOwnerTest,
    ::testing::Values(OwnerCase{"FakeSignerP256", SignerKind::fake, p256Key, p384Key,
                                {SigningAlgorithm::ecdsaSHA256, SigningAlgorithm::ecdsaSHA384,
                                 SigningAlgorithm::ecdsaSHA512}},
                      OwnerCase{"FakeSignerRSA", SignerKind::fake, rsaKey, otherRSAKey,
                                {SigningAlgorithm::rsaPKCS1SHA256, SigningAlgorithm::rsaPKCS1SHA384,
                                 SigningAlgorithm::rsaPKCS1SHA512}},
                      OwnerCase{"ServiceP256", SignerKind::service, p256Key, p384Key,
                                {SigningAlgorithm::ecdsaSHA256, SigningAlgorithm::ecdsaSHA384,
                                 SigningAlgorithm::ecdsaSHA512}},
                      OwnerCase{"ServiceRSA", SignerKind::service, rsaKey, otherRSAKey,
                                {SigningAlgorithm::rsaPKCS1SHA256, SigningAlgorithm::rsaPKCS1SHA384,
                                 SigningAlgorithm::rsaPKCS1SHA512}}),
    [](const auto& info) { return std::string(info.param.name); });


// ---- Over the fake signer alone ----------------------------------------------------------------

class FakeSignerOwnerTest : public OwnerTest {
protected:
  TokenIdentity activate() {
    identity = run(owner->activate(certificate(p256Key()), "account-1", "role-1"));
    return *identity;
  }

  TokenSignRequest request() { return requestFor(*identity, SigningAlgorithm::ecdsaSHA256); }

  std::shared_ptr<FakeSigner> fake = std::make_shared<FakeSigner>(p256Key());
  std::shared_ptr<TokenSigningOwner> owner = newOwner(fake);
  std::optional<TokenIdentity> identity;
};

TEST_F(FakeSignerOwnerTest, AnActivationAccepts4096RequestIdentifiersAndNoMore) {
  activate();
  // Failing after acceptance uses an identifier up as much as succeeding does, and costs no
  // signature.
  auto next = request();
  for (std::size_t accepted = 0; accepted < TokenSigningOwner::maximumUsedRequestCount; ++accepted) {
    next.requestID = UUID::random();
    fake->failNext(std::make_exception_ptr(RemoteSigningError::outcomeUnknown));
    const auto error = testing::thrownBy([&] { run(owner->sign(next.encodedJSON(), std::string(code))); });
    ASSERT_TRUE(exactly(RemoteSigningError::outcomeUnknown)(error)) << accepted;
  }
  EXPECT_EQ(fake->callCount(), 4096u);
  const auto full = activityOf(owner);
  EXPECT_EQ(full, (TokenSigningActivity{4096, 0, TokenOwnerReplyStatus::uncertain, SigningAttribution::unknown}));

  const auto the4097th = request();
  EXPECT_TRUE(exactly(TokenFailure::requestChanged)(
      testing::thrownBy([&] { run(owner->sign(the4097th.encodedJSON(), std::string(code))); })));
  EXPECT_EQ(fake->callCount(), 4096u);
  EXPECT_EQ(activityOf(owner), full);

  // Invalidation empties the set but keeps the counters; the identity then needs a new
  // activation, which starts the counters again.
  run(owner->invalidate());
  EXPECT_EQ(activityOf(owner).acceptedRequests, 4096);
  activate();
  const auto fresh = request();
  EXPECT_NO_THROW(run(owner->sign(fresh.encodedJSON(), std::string(code))));
  EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 1, TokenOwnerReplyStatus::success, SigningAttribution::unknown}));
}

// ---- Over the remote signer and a scripted transport --------------------------------------------

// The cancellation that invalidate starts reaches the remote signer's exchange: the transport sees
// its caller give up, or an answer already on its way is dropped.
TEST_F(OwnerTest, InvalidatingCancelsTheRemoteSignersExchange) {
  const auto sessionTransport = std::make_shared<FakeHTTPTransport>();
  const auto signerTransport = std::make_shared<FakeHTTPTransport>();
  const auto oauth = std::make_shared<OAuthSession>(io.get_executor(), sessionTransport, clock);
  signInThrough(*oauth, *sessionTransport, testing::tokens({.expiresIn = 3600}));
  run(oauth->bindAccount("account-1", run(oauth->authorization())));
  const auto remote = std::make_shared<RemoteSigner>(io.get_executor(), oauth, signerTransport, clock);
  const auto owner = newOwner(TokenRemoteSigner::over(remote));

  struct Row {
    const char* name;
    FakeHTTPTransport::OnCancel onCancel;
    bool transportSeesTheCancellation;
  };
  for (const auto& row : {Row{"ExchangeCancelled", FakeHTTPTransport::OnCancel::fail, true},
                          Row{"AnswerArrivedAnyway", FakeHTTPTransport::OnCancel::keepWaiting, false}}) {
    SCOPED_TRACE(row.name);
    const auto identity = run(owner->activate(certificate(p256Key()), "account-1", "role-1"));
    const auto made = requestFor(identity, SigningAlgorithm::ecdsaSHA256);
    const auto held = signerTransport->hold(RemoteSigner::signHashURL(), row.onCancel);
    const auto running = start(owner->sign(made.encodedJSON(), std::string(code)));
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

    run(owner->invalidate());
    if (row.transportSeesTheCancellation) {
      // Nothing but the cancellation can end this exchange.
      ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));
    } else {
      settle();
      const auto signature = platform::foundation::base64Encoded(
          p256Key().sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), made.digest));
      held->release(FakeHTTPTransport::Reply::status(
          200, R"({"success":1,"data":{"signature_base64":")" + signature + R"(","billed":1}})"));
      ASSERT_TRUE(runUntil([&] { return running.hasEnded(); }));
    }

    EXPECT_TRUE(exactly(TokenFailure::unavailable)(testing::thrownBy([&] { running.get(); })));
    EXPECT_EQ(held->wasCancelled(), row.transportSeesTheCancellation);
    EXPECT_EQ(activityOf(owner), (TokenSigningActivity{1, 0, std::nullopt, std::nullopt}));
  }
  EXPECT_EQ(signerTransport->requests(RemoteSigner::signHashURL()).size(), 2u);
}

// ---- Under load --------------------------------------------------------------------------------

// Answers after a few turns of its executor, looking for cancellation at each as a network wait
// would, and fails now and then as the service may.
class YieldingSigner final : public TokenRemoteSigner {
public:
  asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string) override {
    const auto call = calls_.fetch_add(1);
    const auto executor = co_await asio::this_coro::executor;
    for (std::size_t turn = 0; turn < call % 5; ++turn) {
      co_await asio::post(executor, asio::use_awaitable);
      co_await platform::runtime::checkCancellation();
    }
    if (call % 7 == 3) throw RemoteSigningError::outcomeUnknown;
    co_return RemoteSignature{p256Key().sign(request.algorithm().securityAlgorithm(), request.digest()), true};
  }

private:
  std::atomic<std::size_t> calls_ = 0;
};

// Many sign calls at once against activations and invalidations, on several I/O threads: every
// call ends, only with a verified signature or one of the owner's refusals, a cancelled service
// call never surfaces, and the owner is idle and usable at the end.
class OwnerUnderLoad {
public:
  static constexpr int callers = 4;

  OwnerUnderLoad(const boost::asio::any_io_executor& executor, const platform::runtime::ContinuousClock& clock)
      : ticks_(clock), certificate_(corvanta::certificate(p256Key())) {
    TokenSigningOwner::Clocks clocks;
    clocks.ticks = &ticks_;
    clocks.continuous = &clock;
    clocks.date = [] { return testNow; };
    owner = std::make_shared<TokenSigningOwner>(executor, std::make_shared<YieldingSigner>(),
                                                TokenSigningOwner::unknownAttribution, clocks);
  }

  static asio::awaitable<void> signing(std::shared_ptr<OwnerUnderLoad> load, int rounds) {
    for (int round = 0; round < rounds; ++round) {
      const auto identity = load->latestIdentity();
      const Bytes digest(32, static_cast<std::uint8_t>(round));
      const auto made = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, load->ticks_);
      try {
        auto call = load->owner->sign(made.encodedJSON(), "482913");
        const auto signature = co_await std::move(call);
        VerificationKey(p256Key().publicKey()).verify(signature, digest, SigningAlgorithm::ecdsaSHA256);
        ++load->signatures;
      } catch (const TokenFailure& failure) {
        if (failure != TokenFailure::unavailable && failure != TokenFailure::alreadySubmitted &&
            failure != TokenFailure::requestChanged) {
          load->note(std::string("refused with ") + failure.what());
        }
      } catch (const RemoteSigningError& error) {
        if (error != RemoteSigningError::outcomeUnknown) load->note(std::string("signer error ") + error.what());
      } catch (const std::exception& other) {
        load->note(std::string("unexpected ") + other.what());
      }
      ++load->ended;
    }
    --load->runningCallers;
  }

  static asio::awaitable<void> switching(std::shared_ptr<OwnerUnderLoad> load, int rounds) {
    const auto executor = co_await asio::this_coro::executor;
    for (int round = 0; round < rounds; ++round) {
      if (round % 3 == 2) {
        auto invalidating = load->owner->invalidate();
        co_await std::move(invalidating);
      } else {
        auto activating = load->owner->activate(load->certificate_, "account-1", "role-1");
        load->setIdentity(co_await std::move(activating));
      }
      // An activation lasts until a call has been signed under it, an invalidation for a few
      // refusals; neither waits for callers that have stopped.
      const bool activated = round % 3 != 2;
      const int signaturesBefore = load->signatures;
      const int endedBefore = load->ended;
      const auto lasted = [&] {
        return activated ? load->signatures > signaturesBefore : load->ended >= endedBefore + 5;
      };
      for (int turn = 0; turn < 200000 && load->runningCallers > 0 && !lasted(); ++turn) {
        co_await asio::post(executor, asio::use_awaitable);
      }
      auto reading = load->owner->activity();
      const auto activity = co_await std::move(reading);
      if (activity.verifiedSignatures > activity.acceptedRequests) load->note("more signatures than requests");
    }
  }

  std::vector<std::string> problems() const {
    const std::lock_guard lock(mutex_);
    return problems_;
  }

  // The identity the callers make their requests for; the first is set before they start.
  void setIdentity(TokenIdentity identity) {
    const std::lock_guard lock(mutex_);
    identity_ = std::move(identity);
  }

  const PublicCertificate& certificate() const { return certificate_; }
  const TickSource& ticks() const { return ticks_; }

  std::shared_ptr<TokenSigningOwner> owner;
  std::atomic<int> signatures = 0;
  // Sign calls that have ended, whatever their outcome.
  std::atomic<int> ended = 0;
  std::atomic<int> runningCallers = callers;

private:
  TokenIdentity latestIdentity() const {
    const std::lock_guard lock(mutex_);
    return *identity_;
  }
  void note(std::string problem) {
    const std::lock_guard lock(mutex_);
    problems_.push_back(std::move(problem));
  }

  ContinuousClockTicks ticks_;
  PublicCertificate certificate_;
  mutable std::mutex mutex_;
  std::optional<TokenIdentity> identity_;
  std::vector<std::string> problems_;
};

template <typename T>
bool endsInTime(const std::vector<platform::runtime::Task<T>>& tasks) {
  const auto giveUp = std::chrono::steady_clock::now() + platform::runtime::testing::hangLimit;
  for (const auto& task : tasks) {
    while (!task.hasEnded()) {
      if (std::chrono::steady_clock::now() >= giveUp) return false;
      std::this_thread::sleep_for(1ms);
    }
  }
  return true;
}

TEST(TokenSigningOwnerUnderLoad, ManyCallsActivationsAndInvalidationsLeaveItConsistentAndUsable) {
  const platform::runtime::testing::ManualClock clock;
  // Declared before the runtime so that it outlives the runtime's threads: a call that completed
  // here may still be letting go of this context's executor on one of them.
  boost::asio::io_context io;
  platform::runtime::Runtime runtime(platform::runtime::RuntimeOptions{.ioThreads = 4, .blockingThreads = 1});
  auto load = std::make_shared<OwnerUnderLoad>(runtime.io(), clock);
  load->setIdentity(platform::runtime::testing::runToCompletion(
      io, load->owner->activate(load->certificate(), "account-1", "role-1")));
  std::vector<platform::runtime::Task<void>> tasks;
  tasks.push_back(platform::runtime::startTask(runtime.io(), OwnerUnderLoad::switching(load, 60)));
  for (int caller = 0; caller < OwnerUnderLoad::callers; ++caller) {
    tasks.push_back(platform::runtime::startTask(runtime.io(), OwnerUnderLoad::signing(load, 60)));
  }
  ASSERT_TRUE(endsInTime(tasks));
  EXPECT_EQ(load->problems(), std::vector<std::string>{});
  EXPECT_GT(load->signatures.load(), 0);

  // Nothing is left running: a fresh activation signs at once.
  const auto identity = platform::runtime::testing::runToCompletion(
      io, load->owner->activate(load->certificate(), "account-1", "role-1"));
  const Bytes digest(32, 0x5C);
  const auto made = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, load->ticks());
  // The signer fails one call in seven; the next one after such a failure succeeds.
  std::optional<Bytes> signature;
  for (int attempt = 0; attempt < 2 && !signature; ++attempt) {
    const auto again = attempt == 0 ? made : TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest,
                                                                    testNow, load->ticks());
    try {
      signature = platform::runtime::testing::runToCompletion(io, load->owner->sign(again.encodedJSON(), "482913"));
    } catch (const RemoteSigningError& error) {
      EXPECT_EQ(error, RemoteSigningError::outcomeUnknown);
    }
  }
  ASSERT_TRUE(signature.has_value());
  EXPECT_NO_THROW(VerificationKey(p256Key().publicKey()).verify(*signature, digest, SigningAlgorithm::ecdsaSHA256));
  tasks.clear();
  load.reset();
}

}  // namespace
}  // namespace corvanta

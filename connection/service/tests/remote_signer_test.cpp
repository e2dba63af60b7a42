#include "connection/service/remote_signer.hpp"

#include "connection/service/remote_signature.hpp"
#include "connection/service/remote_signing_error.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/session_authorization.hpp"
#include "connection/testing/fake_http_transport.hpp"
#include "connection/testing/session_test_support.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/net/header_field.hpp"
#include "platform/net/network_error.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_attribution.hpp"
#include "sign-core/signing_context.hpp"
#include "sign-core/signing_error.hpp"
#include "sign-core/signing_request.hpp"
#include "sign-core/signing_session.hpp"
#include "sign-core/verification_key.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/value.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::Bytes;
using platform::net::NetworkError;
using platform::runtime::CancellationError;
using platform::runtime::testing::ManualClock;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;
using testing::expectError;
using testing::FakeHTTPTransport;
using testing::StandInService;
using testing::StandInTransport;
using testing::tokens;
using Reply = FakeHTTPTransport::Reply;

// ---- A request the signing session would never hand out --------------------------------------

// The signing session refuses a digest of the wrong length before any request exists, so the
// signer's own check can only be reached with a request changed afterwards. The explicit
// instantiation below is the language's one sanctioned way to name a private member from outside.
Bytes& digestOf(SigningRequest& request);

template <Bytes SigningRequest::*digest>
struct DigestAccess {
  friend Bytes& digestOf(SigningRequest& request) { return request.*digest; }
};

template struct DigestAccess<&SigningRequest::digest_>;

// ---- Keys ------------------------------------------------------------------------------------

const TestKey& rsaKey() {
  static const TestKey key = TestKey::rsa(2048);
  return key;
}

const TestKey& p256Key() {
  static const TestKey key = TestKey::ec(Curve::p256);
  return key;
}

const TestKey& otherP256Key() {
  static const TestKey key = TestKey::ec(Curve::p256);
  return key;
}

asio::awaitable<void> advanceClock(ManualClock* clock, ManualClock::Duration duration) {
  clock->advance(duration);
  co_return;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string replaced(std::string text, std::string_view placeholder, const std::string& value) {
  for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
  return text;
}

// What a test shares: the clock of the signer and of its requests, the context the coroutines run
// on, and requests made the only way the system makes them, through a signing session.
class SignerTest : public testing::CoroutineTest {
protected:
  Bytes nextDigest(SigningAlgorithm algorithm) {
    ++digestSeed_;
    Bytes digest(static_cast<std::size_t>(algorithm.digestByteCount()));
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(digestSeed_ * 31 + i * 7);
    return digest;
  }

  SigningRequest prepare(const SigningContext& context, SigningAlgorithm algorithm,
                         SigningSession::Duration timeout = 60s,
                         const SigningAttribution& attribution = SigningAttribution::unknown) {
    SigningSession session;
    session.activate(context);
    return session.prepare(algorithm, nextDigest(algorithm), timeout, attribution, clock.now());
  }

private:
  int digestSeed_ = 0;
};

// ---- Through the real transport against the stand-in service ---------------------------------

class StandInSignerTest : public SignerTest {
protected:
  explicit StandInSignerTest(TestKey key = p256Key()) : service(std::move(key)) {}

  void SetUp() override { signIn(); }

  void signIn() {
    signInAt(*oauth, service, "code-" + std::to_string(++signInCount_));
    const auto authorization = run(oauth->authorization());
    run(oauth->bindAccount(service.account().sub, authorization));
  }

  std::shared_ptr<RemoteSigner> newSigner() {
    return std::make_shared<RemoteSigner>(io.get_executor(), oauth, signerTransport, clock);
  }

  VerificationKey certificateKey() const { return VerificationKey::fromCertificateDER(service.certificateDER()); }

  SigningContext context(std::string origin = std::string(RemoteSigner::serviceAPIOrigin()),
                         std::optional<std::string> accountID = std::nullopt,
                         std::optional<VerificationKey> key = std::nullopt) const {
    return SigningContext(std::move(origin), accountID.value_or(service.account().sub),
                          service.account().roles.at(0).roleUuid, "credential-1", Bytes(32, 0x5A),
                          key.value_or(certificateKey()));
  }

  SigningRequest prepare(SigningAlgorithm algorithm = SigningAlgorithm::ecdsaSHA256,
                         SigningSession::Duration timeout = 60s) {
    return SignerTest::prepare(context(), algorithm, timeout);
  }

  RemoteSignature sign(const SigningRequest& request, const std::string& code) {
    return sign(signer, request, code);
  }

  RemoteSignature sign(const std::shared_ptr<RemoteSigner>& by, const SigningRequest& request, const std::string& code) {
    return run(by->sign(request, code));
  }

  std::size_t signHashRequestCount() const { return service.requests(StandInService::signHashPath).size(); }

  StandInService service;
  std::shared_ptr<StandInTransport> sessionTransport = std::make_shared<StandInTransport>(service, 45s);
  std::shared_ptr<StandInTransport> signerTransport = std::make_shared<StandInTransport>(service);
  std::shared_ptr<OAuthSession> oauth = std::make_shared<OAuthSession>(io.get_executor(), sessionTransport);
  std::shared_ptr<RemoteSigner> signer = newSigner();

private:
  int signInCount_ = 0;
};

struct KeyCase {
  const char* name;
  const TestKey& (*key)();
  std::vector<SigningAlgorithm> algorithms;
};

void PrintTo(const KeyCase& keyCase, std::ostream* out) { *out << keyCase.name; }

class StandInSigningTest : public StandInSignerTest, public ::testing::WithParamInterface<KeyCase> {
protected:
  StandInSigningTest() : StandInSignerTest(GetParam().key()) {}
};

TEST_P(StandInSigningTest, EachAlgorithmGivesAVerifiedSignatureFromOneExactRequest) {
  const auto accessToken = run(oauth->accessToken());
  for (const auto algorithm : GetParam().algorithms) {
    SCOPED_TRACE(std::string(algorithm.rawValue()));
    service.acceptOneTimeCode("482913");
    const auto request = prepare(algorithm);
    const auto before = signHashRequestCount();

    const auto signature = sign(request, "482913");

    EXPECT_NO_THROW(certificateKey().verify(signature.bytes, request.digest(), algorithm));
    EXPECT_EQ(signature.billed, true);
    ASSERT_EQ(signHashRequestCount(), before + 1);

    const auto made = signerTransport->requests().back();
    EXPECT_EQ(made.url, RemoteSigner::signHashURL());
    EXPECT_EQ(made.timeout, 60s);

    const auto wire = service.requests(StandInService::signHashPath).back();
    EXPECT_EQ(wire.method, "POST");
    EXPECT_EQ(wire.target, StandInService::signHashPath);
    platform::net::HeaderFields own;
    for (const auto& field : wire.headers) {
      for (const auto name : {"Authorization", "x-role-uuid", "Content-Type", "Accept"}) {
        if (field.name == name) own.push_back(field);
      }
    }
    EXPECT_EQ(own, (platform::net::HeaderFields{{"Authorization", "Bearer " + accessToken},
                                                {"x-role-uuid", service.account().roles.at(0).roleUuid},
                                                {"Content-Type", "application/json"},
                                                {"Accept", "application/json"}}));
    const auto body = platform::foundation::parseJSON(wire.body).as_object();
    EXPECT_EQ(body.size(), 5u);
    EXPECT_EQ(body.at("usage"), "document_signing");
    EXPECT_EQ(std::string(body.at("hash_base64").as_string()), platform::foundation::base64Encoded(request.digest()));
    EXPECT_EQ(body.at("totp_code"), "482913");
    EXPECT_EQ(body.at("client_version"), "0.0.12-macos-development");
    EXPECT_EQ(body.at("caller").as_object().size(), 5u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, StandInSigningTest,
    ::testing::Values(KeyCase{"RSA2048", rsaKey,
                              {SigningAlgorithm::rsaPKCS1SHA256, SigningAlgorithm::rsaPKCS1SHA384,
                               SigningAlgorithm::rsaPKCS1SHA512}},
                      KeyCase{"P256", p256Key,
                              {SigningAlgorithm::ecdsaSHA256, SigningAlgorithm::ecdsaSHA384,
                               SigningAlgorithm::ecdsaSHA512}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInSignerTest, ACodeTheServiceRefusesIsIncorrectAfterOneRequest) {
  service.acceptOneTimeCode("111111");
  const auto request = prepare();

  expectError([&] { sign(request, "222222"); }, RemoteSigningError::incorrectCode);
  EXPECT_EQ(signHashRequestCount(), 1u);
}

TEST_F(StandInSignerTest, ARequestSentOnceIsRefusedLocallyUntilItsDeadlineWhateverTheFirstOutcome) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const std::vector<Case> cases{
      {"Signed", [&] { service.acceptOneTimeCode("246810"); }},
      {"CodeRefused", [&] { service.acceptOneTimeCode("135791"); }},
      {"GarbageAnswer", [&] { service.answer(StandInService::signHashPath, StandInService::Reply::garbage()); }},
      {"ServerError", [&] { service.answer(StandInService::signHashPath, StandInService::Reply::withStatus(500, "{}")); }},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    row.arrange();
    const auto request = prepare();
    try {
      sign(request, "246810");
    } catch (const std::exception&) {
      // Whatever the first call gave, the request has been on the wire.
    }
    const auto sent = signHashRequestCount();

    try {
      sign(request, "246810");
      ADD_FAILURE() << "sent again";
    } catch (const RemoteSigningError& error) {
      EXPECT_EQ(error, RemoteSigningError::alreadySubmitted);
      EXPECT_EQ(error.errorDescription(), "This request has already been submitted. It will not be sent again.");
    }
    clock.advance(60s);
    expectError([&] { sign(request, "246810"); }, RemoteSigningError::invalidRequest, "after its deadline");
    EXPECT_EQ(signHashRequestCount(), sent);
  }
  EXPECT_EQ(signHashRequestCount(), cases.size());
}

TEST_F(StandInSignerTest, ALockoutRefusesTheAccountLocallyUntilItsEndWithTheMinutesLeft) {
  struct Case {
    const char* name;
    std::optional<std::int64_t> serviceMinutes;
    std::int64_t minutes;
  };
  for (const auto& lockout : {Case{"ServiceMinutes", 7, 7}, Case{"DefaultMinutes", std::nullopt, 15}}) {
    SCOPED_TRACE(lockout.name);
    const auto lockedSigner = newSigner();
    const auto sentBefore = signHashRequestCount();
    service.answer(StandInService::signHashPath, StandInService::Reply::tooManyRequests(lockout.serviceMinutes));
    const auto lockoutTime = std::chrono::minutes(lockout.minutes);
    const auto outlasting = lockoutTime + 120s;

    const auto start = clock.now();
    expectError([&] { sign(lockedSigner, prepare(SigningAlgorithm::ecdsaSHA256, outlasting), "123456"); },
                RemoteSigningError::locked(lockout.minutes));
    EXPECT_EQ(signHashRequestCount(), sentBefore + 1);
    const auto end = start.advancedBy(lockoutTime);

    // The lockout is checked before the digest: a request the signer would refuse for its digest
    // still tells the user to wait.
    auto misshapen = prepare(SigningAlgorithm::ecdsaSHA384, outlasting);
    digestOf(misshapen).resize(32);
    expectError([&] { sign(lockedSigner, misshapen, "123456"); }, RemoteSigningError::locked(lockout.minutes),
                "a digest of the wrong length");

    struct Moment {
      const char* name;
      ManualClock::Instant at;
      std::int64_t minutes;
    };
    const std::vector<Moment> moments{
        {"AtOnce", start, lockout.minutes},
        {"OneSecondIn", start.advancedBy(1s), lockout.minutes},
        {"121SecondsLeft", end.advancedBy(-121s), 3},
        {"120AndAHalfSecondsLeft", end.advancedBy(-120500ms), 2},
        {"61SecondsLeft", end.advancedBy(-61s), 2},
        {"60AndAHalfSecondsLeft", end.advancedBy(-60500ms), 1},
        {"60SecondsLeft", end.advancedBy(-60s), 1},
        {"30SecondsLeft", end.advancedBy(-30s), 1},
        {"HalfASecondLeft", end.advancedBy(-500ms), 1},
        {"ANanosecondLeft", end.advancedBy(-1ns), 1},
    };
    for (const auto& moment : moments) {
      clock.set(moment.at);
      expectError([&] { sign(lockedSigner, prepare(SigningAlgorithm::ecdsaSHA256, outlasting), "123456"); },
                  RemoteSigningError::locked(moment.minutes), moment.name);
    }
    EXPECT_EQ(signHashRequestCount(), sentBefore + 1);

    // Another account is not locked: it gets as far as the session, which has no token for it.
    expectError([&] { sign(lockedSigner, SignerTest::prepare(context(std::string(RemoteSigner::serviceAPIOrigin()),
                                                                      "another-account"),
                                                              SigningAlgorithm::ecdsaSHA256),
                           "123456"); },
                ConnectionError::staleSession, "another account");

    clock.set(end);
    service.acceptOneTimeCode("123456");
    EXPECT_NO_THROW(sign(lockedSigner, prepare(), "123456"));
    EXPECT_EQ(signHashRequestCount(), sentBefore + 2);
  }
  EXPECT_EQ(RemoteSigningError::locked(2).errorDescription(),
            "Corvanta has temporarily locked code verification. Wait at least 2 minutes before trying again.");
  EXPECT_EQ(RemoteSigningError::locked(1).errorDescription(),
            "Corvanta has temporarily locked code verification. Wait at least 1 minutes before trying again.");
}

TEST_F(StandInSignerTest, ASignatureThatTheContextsKeyDoesNotVerifyIsRefused) {
  service.acceptOneTimeCode("314159");
  const auto request = SignerTest::prepare(
      context(std::string(RemoteSigner::serviceAPIOrigin()), std::nullopt, VerificationKey(otherP256Key().publicKey())),
      SigningAlgorithm::ecdsaSHA256);

  expectError([&] { sign(request, "314159"); }, RemoteSigningError::invalidSignature);
  EXPECT_EQ(signHashRequestCount(), 1u);
}

TEST_F(StandInSignerTest, AnAnswerAfterSignOutOrAfterTheDeadlineIsDropped) {
  struct Case {
    const char* name;
    StandInTransport::AfterAnswer meanwhile;
  };
  const std::vector<Case> cases{
      {"SignedOut", [session = oauth] { return session->logout(); }},
      {"DeadlinePassed", [this] { return advanceClock(&clock, 60s); }},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    if (!run(oauth->canAuthorize())) signIn();
    service.acceptOneTimeCode("271828");
    const auto before = signHashRequestCount();
    signerTransport->afterNextAnswer(row.meanwhile);

    expectError([&] { sign(prepare(), "271828"); }, ConnectionError::staleSession);
    EXPECT_EQ(signHashRequestCount(), before + 1);
  }
}

TEST_F(StandInSignerTest, AContextOfAnyOtherOriginTextIsRefusedBeforeSending) {
  std::string upperHost(RemoteSigner::serviceAPIOrigin());
  std::transform(upperHost.begin() + 8, upperHost.end(), upperHost.begin() + 8,
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::string origin(RemoteSigner::serviceAPIOrigin());
  const std::vector<std::string> origins{
      service.origin(),
      origin + "/",
      "HTTPS" + origin.substr(5),
      upperHost,
      origin + ":443",
  };
  service.acceptOneTimeCode("161803");
  for (const auto& other : origins) {
    expectError([&] { sign(SignerTest::prepare(context(other), SigningAlgorithm::ecdsaSHA256), "161803"); },
                RemoteSigningError::invalidRequest, other);
  }
  EXPECT_EQ(signHashRequestCount(), 0u);
  EXPECT_NO_THROW(sign(prepare(), "161803"));
}

TEST_F(StandInSignerTest, ADigestOfTheWrongLengthIsRefusedBeforeSending) {
  service.acceptOneTimeCode("577215");
  auto request = prepare(SigningAlgorithm::ecdsaSHA384);
  digestOf(request).resize(32);

  expectError([&] { sign(request, "577215"); }, SigningError::invalidDigestLength(48, 32));
  EXPECT_EQ(signHashRequestCount(), 0u);
}

// ---- Over a scripted transport ----------------------------------------------------------------

class ScriptedSignerTest : public SignerTest {
protected:
  static constexpr std::string_view accountID = "account-1";

  void SetUp() override { signIn(oauth, sessionTransport); }

  void signIn(const std::shared_ptr<OAuthSession>& session, const std::shared_ptr<FakeHTTPTransport>& tokenTransport,
              std::int64_t expiresIn = 3600) {
    signInThrough(*session, *tokenTransport, tokens({.expiresIn = expiresIn}));
    authorization = run(session->authorization());
    run(session->bindAccount(std::string(accountID), *authorization));
  }

  std::shared_ptr<RemoteSigner> newSigner(std::shared_ptr<OAuthSession> session = nullptr) {
    return std::make_shared<RemoteSigner>(io.get_executor(), session ? std::move(session) : oauth, signerTransport,
                                          clock);
  }

  SigningContext context() const {
    return SigningContext(std::string(RemoteSigner::serviceAPIOrigin()), std::string(accountID), "role-1",
                          "credential-1", Bytes(32, 0x5A), VerificationKey(p256Key().publicKey()));
  }

  SigningRequest prepare(SigningSession::Duration timeout = 60s,
                         const SigningAttribution& attribution = SigningAttribution::unknown) {
    return SignerTest::prepare(context(), SigningAlgorithm::ecdsaSHA256, timeout, attribution);
  }

  std::string signatureOf(const SigningRequest& request) const {
    return platform::foundation::base64Encoded(
        p256Key().sign(request.algorithm().securityAlgorithm(), request.digest()));
  }

  // A 200 answer that carries a verifying signature of the request.
  Reply signedAnswer(const SigningRequest& request) const {
    return Reply::status(200, R"({"success":1,"data":{"signature_base64":")" + signatureOf(request) + R"(","billed":1}})");
  }

  void answer(const Reply& reply) { signerTransport->answer(RemoteSigner::signHashURL(), reply); }

  std::size_t sentCount() const { return signerTransport->requests(RemoteSigner::signHashURL()).size(); }

  std::shared_ptr<FakeHTTPTransport> sessionTransport = std::make_shared<FakeHTTPTransport>();
  std::shared_ptr<FakeHTTPTransport> signerTransport = std::make_shared<FakeHTTPTransport>();
  std::shared_ptr<OAuthSession> oauth = std::make_shared<OAuthSession>(io.get_executor(), sessionTransport);
  std::shared_ptr<RemoteSigner> signer = newSigner();
  std::optional<SessionAuthorization> authorization;
};

TEST_F(ScriptedSignerTest, TheRequestIsACompactBodyOfFiveMembersUnderFourHeaders) {
  const SigningAttribution browser("org.example.browser", true);
  auto request = prepare(60s, browser);
  // Every byte 0xFF: a Base64 text made of '/', which is written as it is.
  std::fill(digestOf(request).begin(), digestOf(request).end(), 0xFF);
  answer(Reply::status(403, "{}"));

  expectError([&] { run(signer->sign(request, "024680")); }, RemoteSigningError::rejected);

  ASSERT_EQ(sentCount(), 1u);
  const auto sent = signerTransport->requests().back();
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url.buffer(), std::string(RemoteSigner::serviceAPIOrigin()) + "/publicapi/v1/signing/sign-hash");
  EXPECT_EQ(sent.headers, (platform::net::HeaderFields{{"Authorization", "Bearer access-1"},
                                                       {"x-role-uuid", "role-1"},
                                                       {"Content-Type", "application/json"},
                                                       {"Accept", "application/json"}}));
  std::string caller;
  for (const auto& [key, value] : browser.callerFields()) {
    caller += (caller.empty() ? "" : ",") + ("\"" + key + "\":\"" + value + "\"");
  }
  EXPECT_EQ(text(sent.body), R"({"usage":"client_authentication",)"
                             R"("hash_base64":"//////////////////////////////////////////8=",)"
                             R"("totp_code":"024680","client_version":"0.0.12-macos-development",)"
                             R"("caller":{)" + caller + "}}");
}

TEST_F(ScriptedSignerTest, TheRequestTimeOutIsTheWholeSecondsLeftBetweenOneAndSeventyFive) {
  struct Case {
    SigningSession::Duration timeout;
    std::chrono::nanoseconds expected;
  };
  const std::vector<Case> cases{{60s, 60s}, {10900ms, 10s}, {1500ms, 1s}, {500ms, 1s},
                                {75500ms, 75s}, {200s, 75s}};
  for (const auto& row : cases) {
    answer(Reply::status(403, "{}"));
    expectError([&] { run(signer->sign(prepare(row.timeout), "024680")); }, RemoteSigningError::rejected);
    EXPECT_EQ(signerTransport->requests().back().timeout, row.expected) << row.timeout.count();
  }
}

TEST_F(ScriptedSignerTest, ACodeOtherThanSixASCIIDigitsIsRefusedAndTheRequestStaysUnsent) {
  const auto request = prepare();
  const std::vector<std::string> codes{
      "",       "12345", "1234567", "123 45", " 12345", "12345a", std::string("12345\0", 6),
      "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4\xD9\xA5\xD9\xA6",  // Arabic-Indic digits one to six
      "\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94\xEF\xBC\x95\xEF\xBC\x96",  // full-width digits
  };
  for (const auto& code : codes) {
    expectError([&] { run(signer->sign(request, code)); }, RemoteSigningError::invalidCode, code);
  }
  EXPECT_EQ(sentCount(), 0u);

  answer(signedAnswer(request));
  EXPECT_EQ(run(signer->sign(request, "000000")).billed, true);
}

using Outcome = std::variant<std::optional<bool>, RemoteSigningError>;

struct AnswerCase {
  const char* name;
  std::int64_t status;
  // "SIG" stands for a verifying signature of the request in Base64.
  std::string body;
  Outcome outcome;
};

const RemoteSigningError rejected = RemoteSigningError::rejected;
const RemoteSigningError unknown = RemoteSigningError::outcomeUnknown;
const RemoteSigningError incorrect = RemoteSigningError::incorrectCode;

std::string base64OfZeros(std::size_t count) { return platform::foundation::base64Encoded(Bytes(count, 0)); }

const std::vector<AnswerCase>& answerCases() {
  static const std::vector<AnswerCase> cases{
      {"Billed1", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":1}})", true},
      {"BilledTrue", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":true}})", true},
      {"BilledOnePointZero", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":1.0}})", true},
      {"Billed0", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":0}})", false},
      {"BilledFalse", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":false}})", false},
      {"BilledAbsent", 200, R"({"success":1,"data":{"signature_base64":"SIG"}})", std::nullopt},
      {"BilledNull", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":null}})", std::nullopt},
      {"Billed2", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":2}})", std::nullopt},
      {"BilledText", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":"1"}})", std::nullopt},
      {"BilledHalf", 200, R"({"success":1,"data":{"signature_base64":"SIG","billed":0.5}})", std::nullopt},

      {"SuccessTrue", 200, R"({"success":true,"data":{"signature_base64":"SIG"}})", std::nullopt},
      {"SuccessOnePointZero", 200, R"({"success":1.0,"data":{"signature_base64":"SIG"}})", std::nullopt},
      {"Success0", 200, R"({"success":0,"data":{"signature_base64":"SIG"}})", rejected},
      {"SuccessFalse", 200, R"({"success":false,"data":{"signature_base64":"SIG"}})", rejected},
      {"Success2", 200, R"({"success":2,"data":{"signature_base64":"SIG"}})", rejected},
      {"SuccessText", 200, R"({"success":"1","data":{"signature_base64":"SIG"}})", rejected},
      {"SuccessMissing", 200, R"({"data":{"signature_base64":"SIG"}})", rejected},
      {"NotJSON", 200, "signature: SIG", rejected},
      {"EmptyBody", 200, "", rejected},
      {"TopLevelArray", 200, R"([{"success":1,"data":{"signature_base64":"SIG"}}])", rejected},
      {"KeyTwice", 200, R"({"success":0,"success":1,"data":{"signature_base64":"SIG"}})", rejected},

      {"DataMissing", 200, R"({"success":1})", unknown},
      {"DataNotAnObject", 200, R"({"success":1,"data":"SIG"})", unknown},
      {"SignatureMissing", 200, R"({"success":1,"data":{"billed":1}})", unknown},
      {"SignatureNumber", 200, R"({"success":1,"data":{"signature_base64":12}})", unknown},
      {"SignatureEmpty", 200, R"({"success":1,"data":{"signature_base64":""}})", unknown},
      {"SignatureUnpadded", 200, R"({"success":1,"data":{"signature_base64":"AAE"}})", unknown},
      {"SignatureURLSafe", 200, R"({"success":1,"data":{"signature_base64":"-_8A"}})", unknown},
      {"SignatureWithLineBreak", 200, R"({"success":1,"data":{"signature_base64":"SIG\n"}})", unknown},
      // 8192 bytes pass the size check and reach verification; one more does not.
      {"Signature8192Bytes", 200, R"({"success":1,"data":{"signature_base64":")" + base64OfZeros(8192) + "\"}}",
       RemoteSigningError::invalidSignature},
      {"Signature8193Bytes", 200, R"({"success":1,"data":{"signature_base64":")" + base64OfZeros(8193) + "\"}}",
       unknown},
      {"SignatureOfAnotherDigest", 200, R"({"success":1,"data":{"signature_base64":"OTHER"}})",
       RemoteSigningError::invalidSignature},

      {"Created201", 201, R"({"success":1,"data":{"signature_base64":"SIG"}})", rejected},
      {"Found302", 302, "", rejected},
      {"Forbidden403", 403, R"({"success":0,"error":["forbidden"]})", rejected},
      {"Status499", 499, "{}", rejected},
      {"Status500", 500, "{}", unknown},
      {"Unavailable503", 503, "down", unknown},

      {"CodeInvalid400", 400, R"({"success":0,"error":["totp_code_invalid"]})", incorrect},
      {"CodeInvalid503", 503, R"({"success":0,"error":["totp_code_invalid"]})", incorrect},
      {"CodeInvalidAmongOthers", 400, R"({"success":0,"error":["request_invalid","totp_code_invalid"]})", incorrect},
      {"CodeInvalidBesideASignature", 200,
       R"({"success":1,"error":["totp_code_invalid"],"data":{"signature_base64":"SIG"}})", incorrect},
      {"CodeInvalidAsText", 400, R"({"success":0,"error":"totp_code_invalid"})", rejected},
      {"CodeInvalidInAMixedArray", 400, R"({"success":0,"error":["totp_code_invalid",3]})", rejected},
      {"CodeInvalidInData", 400, R"({"success":0,"data":{"error":["totp_code_invalid"]}})", rejected},

      {"Locked7", 429, R"({"data":{"retry_after_minutes":7}})", RemoteSigningError::locked(7)},
      {"Locked7PointZero", 429, R"({"data":{"retry_after_minutes":7.0}})", RemoteSigningError::locked(7)},
      {"LockedAYear", 429, R"({"data":{"retry_after_minutes":525600}})", RemoteSigningError::locked(525600)},
      {"LockedWithoutMinutes", 429, R"({"success":0,"error":["totp_locked"]})", RemoteSigningError::locked(15)},
      {"LockedMinutesAsText", 429, R"({"data":{"retry_after_minutes":"7"}})", RemoteSigningError::locked(15)},
      {"LockedZero", 429, R"({"data":{"retry_after_minutes":0}})", RemoteSigningError::locked(15)},
      {"LockedNegative", 429, R"({"data":{"retry_after_minutes":-3}})", RemoteSigningError::locked(15)},
      {"LockedOverAYear", 429, R"({"data":{"retry_after_minutes":525601}})", RemoteSigningError::locked(15)},
      {"LockedTrue", 429, R"({"data":{"retry_after_minutes":true}})", RemoteSigningError::locked(15)},
      {"LockedFraction", 429, R"({"data":{"retry_after_minutes":7.5}})", RemoteSigningError::locked(15)},
      {"LockedMinutesAtTopLevel", 429, R"({"retry_after_minutes":7})", RemoteSigningError::locked(15)},
      {"LockedNotJSON", 429, "slow down", RemoteSigningError::locked(15)},
      {"LockedDespiteCodeInvalid", 429, R"({"error":["totp_code_invalid"],"data":{"retry_after_minutes":3}})",
       RemoteSigningError::locked(3)},
  };
  return cases;
}

TEST_F(ScriptedSignerTest, EachAnswerIsReadAsTheFormsItAllowsAfterExactlyOneRequest) {
  for (const auto& row : answerCases()) {
    SCOPED_TRACE(row.name);
    // A signer of its own: a lockout must not outlast its row.
    const auto rowSigner = newSigner();
    const auto request = prepare();
    const auto signature = signatureOf(request);
    auto otherDigest = request.digest();
    otherDigest.at(0) ^= 0x01;
    const auto other = platform::foundation::base64Encoded(
        p256Key().sign(request.algorithm().securityAlgorithm(), otherDigest));
    const auto before = sentCount();
    answer(Reply::status(row.status, replaced(replaced(row.body, "SIG", signature), "OTHER", other)));

    if (const auto* billed = std::get_if<std::optional<bool>>(&row.outcome)) {
      const auto returned = run(rowSigner->sign(request, "123456"));
      EXPECT_EQ(returned.billed, *billed);
      EXPECT_EQ(platform::foundation::base64Encoded(returned.bytes), signature);
    } else {
      const auto& expected = std::get<RemoteSigningError>(row.outcome);
      expectError([&] { run(rowSigner->sign(request, "123456")); }, expected);
      if (expected.errorCase() == RemoteSigningError::Case::locked) {
        expectError([&] { run(rowSigner->sign(prepare(), "123456")); }, expected, "locally");
      }
    }
    EXPECT_EQ(sentCount(), before + 1);
  }
}

TEST_F(ScriptedSignerTest, A401EndsTheSignInWhateverTheBodySays) {
  for (const auto* body : {R"({"success":0,"error":["unauthorized"]})", R"({"error":["totp_code_invalid"]})"}) {
    SCOPED_TRACE(body);
    if (!run(oauth->canAuthorize())) signIn(oauth, sessionTransport);
    const auto before = sentCount();
    answer(Reply::status(401, body));

    expectError([&] { run(signer->sign(prepare(), "123456")); }, ConnectionError::notSignedIn);
    EXPECT_EQ(sentCount(), before + 1);
    EXPECT_FALSE(run(oauth->isCurrent(*authorization)));
    EXPECT_FALSE(run(oauth->canAuthorize()));
  }
}

TEST_F(ScriptedSignerTest, AFailedExchangeIsAnUnknownOutcomeAndIsNeverSentAgain) {
  const std::vector<std::pair<const char*, Reply>> failures{
      {"TimedOut", Reply::failure(NetworkError(NetworkError::Code::timedOut))},
      {"Cancelled", Reply::failure(NetworkError(NetworkError::Code::cancelled))},
      {"ConnectionLost", Reply::failure(NetworkError(NetworkError::Code::networkConnectionLost))},
      {"TooLarge", Reply::failure(ConnectionError::responseTooLarge)},
      {"NotHTTP", Reply::failure(ConnectionError::invalidResponse)},
      {"SomethingElse", Reply::failure(std::runtime_error("unexpected"))},
  };
  for (const auto& [name, failure] : failures) {
    SCOPED_TRACE(name);
    const auto request = prepare();
    const auto before = sentCount();
    answer(failure);

    expectError([&] { run(signer->sign(request, "123456")); }, RemoteSigningError::outcomeUnknown);
    expectError([&] { run(signer->sign(request, "123456")); }, RemoteSigningError::alreadySubmitted, "again");
    EXPECT_EQ(sentCount(), before + 1);
  }
}

TEST_F(ScriptedSignerTest, ASecondCallWhileOneAwaitsTheServiceIsRefusedAndTheFirstGoesOn) {
  const auto request = prepare();
  const auto held = signerTransport->hold(RemoteSigner::signHashURL());
  const auto first = start(signer->sign(request, "123456"));
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

  expectError([&] { run(signer->sign(prepare(), "654321")); }, RemoteSigningError::operationInProgress);

  held->release(signedAnswer(request));
  ASSERT_TRUE(runUntil([&] { return first.hasEnded(); }));
  EXPECT_EQ(first.get().billed, true);
  EXPECT_EQ(sentCount(), 1u);

  const auto next = prepare();
  answer(signedAnswer(next));
  EXPECT_NO_THROW(run(signer->sign(next, "654321")));
}

TEST_F(ScriptedSignerTest, CancellationWhileTheExchangeRunsDropsTheRequestForGood) {
  struct Case {
    const char* name;
    FakeHTTPTransport::OnCancel onCancel;
    // Cancelling the exchange itself loses the answer; an answer already on its way is dropped.
    std::function<void(const SigningRequest&, const std::shared_ptr<const FakeHTTPTransport::Hold>&)> afterCancel;
    std::function<void(const testing::Started<RemoteSignature>&)> check;
  };
  const std::vector<Case> cases{
      {"ExchangeCancelled", FakeHTTPTransport::OnCancel::fail, [](const auto&, const auto&) {},
       [](const auto& call) { expectError([&] { call.get(); }, RemoteSigningError::outcomeUnknown); }},
      {"AnswerArrivedAnyway", FakeHTTPTransport::OnCancel::keepWaiting,
       [this](const auto& request, const auto& held) { held->release(signedAnswer(request)); },
       [](const auto& call) { expectError([&] { call.get(); }, CancellationError()); }},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const auto request = prepare();
    const auto before = sentCount();
    const auto held = signerTransport->hold(RemoteSigner::signHashURL(), row.onCancel);
    const auto call = start(signer->sign(request, "123456"));
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

    call.cancel();
    settle();
    row.afterCancel(request, held);
    ASSERT_TRUE(runUntil([&] { return call.hasEnded(); }));
    row.check(call);

    expectError([&] { run(signer->sign(request, "123456")); }, RemoteSigningError::alreadySubmitted, "again");
    EXPECT_EQ(sentCount(), before + 1);
  }
}

TEST_F(ScriptedSignerTest, ACallCancelledBeforeItSendsLeavesTheRequestUnsent) {
  const auto request = prepare();
  const auto call = start(signer->sign(request, "123456"));
  call.cancel();
  ASSERT_TRUE(runUntil([&] { return call.hasEnded(); }));
  expectError([&] { call.get(); }, CancellationError());
  EXPECT_EQ(sentCount(), 0u);

  answer(signedAnswer(request));
  EXPECT_NO_THROW(run(signer->sign(request, "123456")));
}

TEST_F(ScriptedSignerTest, TheDeadlinePassingWhileTheTokenIsRefreshedRefusesTheRequestUnsent) {
  const auto tokenTransport = std::make_shared<FakeHTTPTransport>();
  const auto session = std::make_shared<OAuthSession>(io.get_executor(), tokenTransport, clock);
  signIn(session, tokenTransport, 300);
  const auto refreshingSigner = newSigner(session);
  clock.advance(241s);
  const auto request = prepare(60s);
  const auto held = tokenTransport->hold(CorvantaEndpoints::tokenURL());
  const auto call = start(refreshingSigner->sign(request, "123456"));
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

  clock.advance(60s);
  held->release(tokens({.access = "access-2", .refresh = std::nullopt, .expiresIn = 3600}));
  ASSERT_TRUE(runUntil([&] { return call.hasEnded(); }));

  expectError([&] { call.get(); }, RemoteSigningError::invalidRequest);
  EXPECT_EQ(sentCount(), 0u);
}

TEST_F(ScriptedSignerTest, At256RequestsAheadOfTheirDeadlinesANewOneWaitsForOneToExpire) {
  signerTransport->answer(RemoteSigner::signHashURL(), Reply::status(403, "{}"), FakeHTTPTransport::Times::always);
  const auto earliest = prepare(30s);
  expectError([&] { run(signer->sign(earliest, "123456")); }, RemoteSigningError::rejected);
  for (std::size_t i = 1; i < RemoteSigner::maximumConsumedCount; ++i) {
    expectError([&] { run(signer->sign(prepare(), "123456")); }, RemoteSigningError::rejected);
  }
  ASSERT_EQ(sentCount(), 256u);

  expectError([&] { run(signer->sign(prepare(), "123456")); }, RemoteSigningError::invalidRequest, "257th");
  EXPECT_EQ(sentCount(), 256u);

  clock.advance(30s);
  expectError([&] { run(signer->sign(prepare(), "123456")); }, RemoteSigningError::rejected, "after one expired");
  EXPECT_EQ(sentCount(), 257u);
}

// ---- The error's cases -----------------------------------------------------------------------

TEST(RemoteSigningErrorTest, EveryCaseInDeclarationOrderWithItsText) {
  using Case = RemoteSigningError::Case;
  struct Row {
    RemoteSigningError error;
    Case errorCase;
    const char* name;
    std::string text;
  };
  const std::vector<Row> rows{
      {RemoteSigningError::locked(16), Case::locked, "locked",
       "Corvanta has temporarily locked code verification. Wait at least 16 minutes before trying again."},
      {RemoteSigningError::invalidCode, Case::invalidCode, "invalidCode",
       "Enter the six-digit code from your authenticator."},
      {RemoteSigningError::incorrectCode, Case::incorrectCode, "incorrectCode",
       "The code was not accepted. Wait for a new code before trying again."},
      {RemoteSigningError::invalidRequest, Case::invalidRequest, "invalidRequest",
       "The certificate or account changed. Refresh your certificate and start again."},
      {RemoteSigningError::alreadySubmitted, Case::alreadySubmitted, "alreadySubmitted",
       "This request has already been submitted. It will not be sent again."},
      {RemoteSigningError::operationInProgress, Case::operationInProgress, "operationInProgress",
       "A signing request is already in progress."},
      {RemoteSigningError::rejected, Case::rejected, "rejected",
       "Corvanta could not authorize this signature. Check your certificate and account permissions."},
      {RemoteSigningError::outcomeUnknown, Case::outcomeUnknown, "outcomeUnknown",
       "The signing outcome could not be confirmed. A signature or credit charge may have occurred. Nothing was "
       "retried automatically."},
      {RemoteSigningError::invalidSignature, Case::invalidSignature, "invalidSignature",
       "The returned signature did not match the loaded certificate. Refresh the certificate before trying again."},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    EXPECT_EQ(static_cast<std::size_t>(row.error.errorCase()), i) << row.name;
    EXPECT_EQ(row.error.errorCase(), row.errorCase) << row.name;
    EXPECT_EQ(row.error.errorDescription(), row.text) << row.name;
    EXPECT_STREQ(row.error.what(), row.name);
    for (std::size_t j = 0; j < rows.size(); ++j) {
      EXPECT_EQ(row.error == rows[j].error, i == j) << row.name << " / " << rows[j].name;
    }
  }
  EXPECT_EQ(RemoteSigningError::locked(15), RemoteSigningError::locked(15));
  EXPECT_FALSE(RemoteSigningError::locked(15) == RemoteSigningError::locked(16));
}

}  // namespace
}  // namespace corvanta

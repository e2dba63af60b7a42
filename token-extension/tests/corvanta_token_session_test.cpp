#include "token-extension/corvanta_token_session.hpp"

#include "platform/foundation/uuid.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/security/key_algorithm.hpp"
#include "sign-core/verification_key.hpp"
#include "token-extension/corvanta_token.hpp"
#include "token-extension/corvanta_token_driver.hpp"
#include "token-extension/one_signature_auth_operation.hpp"
#include "token-extension/tests/token_extension_test_support.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::foundation::UUID;
using platform::security::testing::sharedTestKeys;
using platform::security::testing::TestKey;
using platform::tokenkit::AuthOperation;
using platform::tokenkit::KeyAlgorithm;
using platform::tokenkit::ObjectID;
using platform::tokenkit::Operation;
using Phase = TokenApprovalGate::Phase;
namespace keyAlgorithm = platform::security::keyAlgorithm;

const std::string approvalConstraint(TokenIdentity::approvalConstraint);
const Error noPendingRequestError(-2, "The approval no longer has a pending signing request.");

KeyAlgorithm algorithmNamed(std::string_view id) { return KeyAlgorithm{std::string(id)}; }

const char* nameOf(Phase phase) {
  switch (phase) {
    case Phase::awaiting: return "awaiting";
    case Phase::submitting: return "submitting";
    case Phase::completed: return "completed";
    case Phase::empty: return "empty";
  }
  return "?";
}

// One token session as the host reaches it, on the test's clocks, with a transport the test
// scripts. The transport answers with the key's own signature unless a test says otherwise.
class SessionFixture {
public:
  explicit SessionFixture(const TestKey& key = sharedTestKeys().p256) : key_(&key), identity_(identityOf(certificateOf(key))) {
    transport_->setAnswer([this](const TokenSignRequest& request) { return signatureFor(*key_, request); });
    auto token = driver_->tokenForConfiguration(
        platform::tokenkit::TokenConfigurationSnapshot{identity_.instanceID(), identity_.encodedJSON(), {}});
    token_ = std::dynamic_pointer_cast<CorvantaToken>(token.value());
    session_ = std::dynamic_pointer_cast<CorvantaTokenSession>(token_->createSession().value());
    gate_ = session_->gate();
  }
  SessionFixture(const SessionFixture&) = delete;
  SessionFixture& operator=(const SessionFixture&) = delete;

  TestClocks& time() { return time_; }
  FakeTransport& transport() { return *transport_; }
  const TestKey& key() const { return *key_; }
  const TokenIdentity& identity() const { return identity_; }
  CorvantaTokenDriver& driver() { return *driver_; }
  const std::shared_ptr<CorvantaToken>& token() { return token_; }
  CorvantaTokenSession& session() { return *session_; }
  void releaseSession() { session_.reset(); }
  Phase phase() const { return gate_->phase(); }

  KeyAlgorithm algorithm() const {
    return algorithmNamed(key_ == &sharedTestKeys().p256 ? keyAlgorithm::ecdsaSignatureDigestX962SHA256
                                                         : keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256);
  }

  platform::tokenkit::Result<Bytes> sign(const Bytes& digest) {
    return session_->signData(digest, identity_.keyObjectID(), algorithm());
  }

  platform::tokenkit::Result<std::unique_ptr<AuthOperation>> beginAuth() {
    return session_->beginAuth(Operation::signData, approvalConstraint);
  }

  // The first sign call and the operation it leads to.
  std::unique_ptr<OneSignatureAuthOperation> openApproval(const Bytes& digest) {
    const auto first = sign(digest);
    EXPECT_FALSE(first.hasValue());
    if (!first.hasValue()) {
      EXPECT_EQ(first.error(), Error(-9));
    }
    auto begun = beginAuth();
    if (!begun.hasValue()) {
      ADD_FAILURE() << "begin authentication refused";
      return nullptr;
    }
    auto* operation = dynamic_cast<OneSignatureAuthOperation*>(begun.value().get());
    if (!operation) {
      ADD_FAILURE() << "not a one-signature operation";
      return nullptr;
    }
    begun.value().release();
    return std::unique_ptr<OneSignatureAuthOperation>(operation);
  }

private:
  TestClocks time_;
  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
  std::shared_ptr<CorvantaTokenDriver> driver_ =
      CorvantaTokenDriver::create([this] { return transport_; }, time_.clocks());
  const TestKey* key_;
  TokenIdentity identity_;
  std::shared_ptr<CorvantaToken> token_;
  std::shared_ptr<CorvantaTokenSession> session_;
  // The session's gate, kept apart so that a test may release the session and still look at it.
  std::shared_ptr<TokenApprovalGate> gate_;
};

std::unique_ptr<SessionFixture> fixtureFor(const TestKey& key = sharedTestKeys().p256) {
  return std::make_unique<SessionFixture>(key);
}

TEST(MatchSigningAlgorithm, OnlyTheSixDigestAlgorithmsMatch) {
  for (const auto algorithm : SigningAlgorithm::allCases()) {
    EXPECT_EQ(matchSigningAlgorithm(algorithmNamed(algorithm.securityAlgorithm())), algorithm);
  }
  for (const auto* other : {keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256.data(),
                            keyAlgorithm::ecdsaSignatureMessageX962SHA384.data(), "", "ecdsaSHA256",
                            "algid:sign:ECDSA:digest-X962:sha256", "algid:sign:RSA:digest-PKCS1v15:SHA256 "}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(matchSigningAlgorithm(algorithmNamed(other)).has_value());
  }
}

TEST(CorvantaTokenSession, SupportsOnlySigningWithItsKeyByAnAlgorithmOfItsKeyWhileTheCertificateIsValid) {
  const std::vector<Operation> operations{Operation::none, Operation::readData, Operation::signData,
                                          Operation::decryptData, Operation::performKeyExchange};
  const std::vector<std::string> algorithms{
      std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256), std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384),
      std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512), std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA256),
      std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA384),   std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA512),
      std::string(keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256), std::string(keyAlgorithm::ecdsaSignatureMessageX962SHA256),
      "unknown"};
  struct KeyRow {
    const char* name;
    const TestKey* key;
    std::set<std::string> signs;
  };
  const std::vector<KeyRow> keys{
      {"P-256", &sharedTestKeys().p256,
       {std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA256), std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA384),
        std::string(keyAlgorithm::ecdsaSignatureDigestX962SHA512)}},
      {"RSA 2048", &sharedTestKeys().rsa2048,
       {std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256),
        std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384),
        std::string(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512)}},
  };
  struct DateRow {
    const char* name;
    Clock::time_point date;
    bool valid;
  };
  const std::vector<DateRow> dates{
      {"valid", testNow, true},
      {"expired", validUntil, false},
      {"not yet valid", validFrom - std::chrono::seconds(1), false},
  };

  for (const auto& keyRow : keys) {
    const auto fixture = fixtureFor(*keyRow.key);
    const auto& identity = fixture->identity();
    const std::string otherInstance = identityOf(certificateOf(*keyRow.key, 99)).keyObjectID();
    struct ObjectRow {
      const char* name;
      ObjectID id;
      bool isTheKey;
    };
    const std::vector<ObjectRow> objects{
        {"the key", identity.keyObjectID(), true},
        {"the certificate", identity.certificateObjectID(), false},
        {"another certificate's key", otherInstance, false},
        {"the key identifier as bytes", platform::bytesOf(identity.keyObjectID()), false},
        {"no identifier", std::monostate{}, false},
        {"the bare instance identifier", identity.instanceID(), false},
    };
    for (const auto& date : dates) {
      fixture->time().date = date.date;
      for (const auto operation : operations) {
        for (const auto& object : objects) {
          for (const auto& algorithm : algorithms) {
            SCOPED_TRACE(std::string(keyRow.name) + ", " + date.name + ", operation " +
                         std::to_string(static_cast<int>(operation)) + ", " + object.name + ", " + algorithm);
            const bool expected = operation == Operation::signData && object.isTheKey && date.valid &&
                                  keyRow.signs.contains(algorithm);
            EXPECT_EQ(fixture->session().supports(operation, object.id, algorithmNamed(algorithm)), expected);
          }
        }
      }
    }
    // Asking changes nothing.
    EXPECT_EQ(fixture->phase(), Phase::empty);
  }
}

TEST(CorvantaTokenSession, SignCallsTheGateCannotTakeAreRefusedWithoutOpeningAnApproval) {
  struct Row {
    std::string name;
    std::function<platform::tokenkit::Result<Bytes>(SessionFixture&)> call;
    Error error;
  };
  const auto p256 = algorithmNamed(keyAlgorithm::ecdsaSignatureDigestX962SHA256);
  const std::vector<Row> rows{
      {"no key identifier", [p256](SessionFixture& f) { return f.session().signData(digestOf(32), std::monostate{}, p256); },
       Error(-1)},
      {"the key identifier as bytes",
       [p256](SessionFixture& f) {
         return f.session().signData(digestOf(32), platform::bytesOf(f.identity().keyObjectID()), p256);
       },
       Error(-1)},
      {"an algorithm that hashes the message",
       [](SessionFixture& f) {
         return f.session().signData(digestOf(32), f.identity().keyObjectID(),
                                     algorithmNamed(keyAlgorithm::ecdsaSignatureMessageX962SHA256));
       },
       Error(-1)},
      {"an unknown algorithm",
       [](SessionFixture& f) {
         return f.session().signData(digestOf(32), f.identity().keyObjectID(), algorithmNamed("unknown"));
       },
       Error(-1)},
      {"an algorithm the key cannot do",
       [](SessionFixture& f) {
         return f.session().signData(digestOf(32), f.identity().keyObjectID(),
                                     algorithmNamed(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256));
       },
       Error(-1)},
      {"the certificate's identifier",
       [p256](SessionFixture& f) { return f.session().signData(digestOf(32), f.identity().certificateObjectID(), p256); },
       Error(-8)},
      {"a digest of the wrong length",
       [p256](SessionFixture& f) { return f.session().signData(digestOf(33), f.identity().keyObjectID(), p256); },
       Error(-2)},
      {"an expired certificate",
       [](SessionFixture& f) {
         f.time().date = validUntil;
         return f.sign(digestOf(32));
       },
       Error(-8)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto fixture = fixtureFor();
    const auto result = row.call(*fixture);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), row.error);
    EXPECT_STREQ(nameOf(fixture->phase()), "empty");
  }
}

TEST(CorvantaTokenSession, BeginAuthenticationAnswersByTheGate) {
  struct Row {
    std::string name;
    std::function<void(SessionFixture&)> before;
    Operation operation;
    platform::tokenkit::Constraint constraint;
    // None: a one-signature operation for the open approval; else a plain operation (no error) or
    // the error.
    std::optional<std::optional<Error>> answer;
  };
  const auto open = [](SessionFixture& f) { EXPECT_EQ(f.sign(digestOf(32)).error(), Error(-9)); };
  const auto completed = [](SessionFixture& f) {
    auto operation = f.openApproval(digestOf(32));
    ASSERT_NE(operation, nullptr);
    operation->password = "123456";
    ASSERT_TRUE(operation->finish().hasValue());
  };
  const std::vector<Row> rows{
      {"an open approval", open, Operation::signData, approvalConstraint, std::nullopt},
      {"no approval", [](SessionFixture&) {}, Operation::signData, approvalConstraint, std::optional<Error>()},
      {"a signature waiting", completed, Operation::signData, approvalConstraint, std::optional<Error>()},
      {"an approval past its deadline",
       [open](SessionFixture& f) {
         open(f);
         f.time().continuous.advance(TokenApprovalGate::approvalLifetime);
       },
       Operation::signData, approvalConstraint, Error(-2, "The signing approval expired. Start a new request.")},
      {"decryption", open, Operation::decryptData, approvalConstraint, Error(-1)},
      {"key exchange", open, Operation::performKeyExchange, approvalConstraint, Error(-1)},
      {"another constraint", open, Operation::signData, std::string("corvanta.totp.per-request.v2"), Error(-1)},
      {"a constraint that always allows", open, Operation::signData, true, Error(-1)},
      {"a constraint that never allows", open, Operation::signData, false, Error(-1)},
      {"after termination",
       [open](SessionFixture& f) {
         open(f);
         f.driver().terminateToken(f.token());
       },
       Operation::signData, approvalConstraint, Error(-2, "The token session is no longer available.")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto fixture = fixtureFor();
    row.before(*fixture);
    if (::testing::Test::HasFatalFailure()) return;
    // Asked only where the approval is open and in its window: asking past it would close it.
    const auto pending = !row.answer ? fixture->session().gate()->pendingApproval(fixture->time().continuous.now())
                                     : std::nullopt;
    const auto result = fixture->session().beginAuth(row.operation, row.constraint);
    if (!row.answer) {
      ASSERT_TRUE(result.hasValue());
      const auto* operation = dynamic_cast<const OneSignatureAuthOperation*>(result.value().get());
      ASSERT_NE(operation, nullptr);
      EXPECT_EQ(operation->approvalID(), pending);
      EXPECT_FALSE(operation->password.has_value());
    } else if (!*row.answer) {
      ASSERT_TRUE(result.hasValue());
      ASSERT_NE(result.value(), nullptr);
      EXPECT_EQ(dynamic_cast<const platform::tokenkit::PasswordAuthOperation*>(result.value().get()), nullptr);
      EXPECT_TRUE(result.value()->finish().hasValue());
    } else {
      ASSERT_FALSE(result.hasValue());
      EXPECT_EQ(result.error(), **row.answer);
    }
  }
}

// One signature as the host drives it: sign, authentication needed, begin, the code, finish, sign
// again. The signature the host gets verifies with the certificate's key.
TEST(CorvantaTokenSession, OneCodeApprovesOneSignature) {
  for (const auto* key : {&sharedTestKeys().p256, &sharedTestKeys().rsa2048}) {
    const auto fixture = fixtureFor(*key);
    const auto digest = digestOf(32, 0x40);
    auto operation = fixture->openApproval(digest);
    ASSERT_NE(operation, nullptr);
    fixture->time().continuous.advance(std::chrono::seconds(15));
    operation->password = "204060";
    ASSERT_TRUE(operation->finish().hasValue());
    EXPECT_TRUE(operation->isFinished());

    const auto calls = fixture->transport().calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, "204060");
    EXPECT_EQ(calls[0].request.requestID, operation->approvalID());
    EXPECT_EQ(calls[0].request.digest, digest);
    EXPECT_EQ(calls[0].request.keyObjectID, fixture->identity().keyObjectID());
    EXPECT_EQ(calls[0].timeout, std::chrono::seconds(75));

    const auto signature = fixture->sign(digest);
    ASSERT_TRUE(signature.hasValue());
    const auto algorithm = *matchSigningAlgorithm(fixture->algorithm());
    EXPECT_NO_THROW(VerificationKey::fromCertificateDER(fixture->identity().certificateDER())
                        .verify(signature.value(), digest, algorithm));
    // Handed out once: the next call wants a new approval.
    EXPECT_EQ(fixture->sign(digest).error(), Error(-9));
    EXPECT_NE(fixture->session().gate()->pendingApproval(fixture->time().continuous.now()), operation->approvalID());
    EXPECT_EQ(fixture->transport().calls().size(), 1u);
  }
}

// Whatever the road to the app answers, the host hears it by the token error of the mapping, the
// approval is closed unless a verified signature came back, and the code never stays behind.
TEST(CorvantaTokenSession, FinishAnswersWhatTheRoadToTheAppAnswered) {
  struct Row {
    std::string name;
    // Runs as the transport's answer, with the fixture.
    std::function<Bytes(SessionFixture&, const TokenSignRequest&)> answer;
    std::optional<Error> error;
  };
  std::vector<Row> rows{
      {"the verified signature", [](SessionFixture& f, const TokenSignRequest& r) { return signatureFor(f.key(), r); },
       std::nullopt},
      {"an error of another module",
       [](SessionFixture&, const TokenSignRequest&) -> Bytes { throw std::runtime_error("socket closed"); }, Error(-2)},
      {"a signature over another digest",
       [](SessionFixture& f, const TokenSignRequest&) {
         return f.key().sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), digestOf(32, 0x99));
       },
       Error(-3)},
      {"no signature", [](SessionFixture&, const TokenSignRequest&) { return Bytes{}; }, Error(-3)},
      {"the verified signature after the approval's deadline",
       [](SessionFixture& f, const TokenSignRequest& r) {
         f.time().continuous.advance(TokenApprovalGate::approvalLifetime);
         return signatureFor(f.key(), r);
       },
       Error(-2, "The signing approval expired. Start a new request.")},
  };
  for (const auto& expected : expectedTokenErrors()) {
    rows.push_back({std::string("the failure ") + expected.failure.what(),
                    [failure = expected.failure](SessionFixture&, const TokenSignRequest&) -> Bytes { throw failure; },
                    Error(expected.code, expected.text)});
  }

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto fixture = fixtureFor();
    const auto digest = digestOf(32);
    auto operation = fixture->openApproval(digest);
    ASSERT_NE(operation, nullptr);
    std::optional<bool> passwordDuringCall;
    fixture->transport().setAnswer([&](const TokenSignRequest& request) {
      passwordDuringCall = operation->password.has_value();
      return row.answer(*fixture, request);
    });
    operation->password = "123456";
    const auto finished = operation->finish();

    EXPECT_FALSE(operation->password.has_value());
    EXPECT_EQ(passwordDuringCall, std::optional<bool>(false));
    ASSERT_EQ(fixture->transport().calls().size(), 1u);
    EXPECT_EQ(fixture->transport().calls()[0].code, "123456");
    if (!row.error) {
      ASSERT_TRUE(finished.hasValue());
      EXPECT_STREQ(nameOf(fixture->phase()), "completed");
      EXPECT_TRUE(fixture->sign(digest).hasValue());
      continue;
    }
    ASSERT_FALSE(finished.hasValue());
    EXPECT_EQ(finished.error(), *row.error);
    EXPECT_FALSE(operation->isFinished());
    EXPECT_STREQ(nameOf(fixture->phase()), "empty");
    // Nothing was kept for a retry: the next sign call opens a new approval.
    EXPECT_EQ(fixture->sign(digest).error(), Error(-9));
  }
}

TEST(CorvantaTokenSession, FinishRefusesBeforeTheRoadWhenTheGateDoes) {
  struct Row {
    std::string name;
    std::optional<std::string> password;
    std::function<void(SessionFixture&)> before;
    Error error;
  };
  const auto nothing = [](SessionFixture&) {};
  const std::vector<Row> rows{
      {"no code entered", std::nullopt, nothing, Error(-5)},
      {"an empty code", std::string(), nothing, Error(-5)},
      {"five digits", std::string("12345"), nothing, Error(-5)},
      {"a letter", std::string("12345x"), nothing, Error(-5)},
      {"the deadline reached", std::string("123456"),
       [](SessionFixture& f) { f.time().continuous.advance(TokenApprovalGate::approvalLifetime); },
       Error(-2, "The signing approval expired. Start a new request.")},
      {"the certificate expired meanwhile", std::string("123456"),
       [](SessionFixture& f) { f.time().date = validUntil; }, Error(-8)},
      {"the approval replaced by another request", std::string("123456"),
       [](SessionFixture& f) {
         EXPECT_EQ(f.sign(digestOf(32, 0x70)).error(),
                   Error(-2, "The signing request changed before approval completed."));
         EXPECT_EQ(f.sign(digestOf(32, 0x70)).error(), Error(-9));
       },
       noPendingRequestError},
      {"the token terminated", std::string("123456"), [](SessionFixture& f) { f.driver().terminateToken(f.token()); },
       Error(-2, "The token session is no longer available.")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto fixture = fixtureFor();
    auto operation = fixture->openApproval(digestOf(32));
    ASSERT_NE(operation, nullptr);
    row.before(*fixture);
    const auto phaseBefore = fixture->phase();
    operation->password = row.password;
    const auto finished = operation->finish();
    ASSERT_FALSE(finished.hasValue());
    EXPECT_EQ(finished.error(), row.error);
    EXPECT_FALSE(operation->password.has_value());
    EXPECT_TRUE(fixture->transport().calls().empty());
    // The operation's approval is closed; an approval of another request stays open.
    EXPECT_STREQ(nameOf(fixture->phase()), phaseBefore == Phase::awaiting && row.error == noPendingRequestError
                                               ? "awaiting"
                                               : "empty");
  }
}

// A second finish must not close what the first one achieved: the service has already made (and
// counted) that signature, and the host's next sign call collects it.
TEST(CorvantaTokenSession, ASecondFinishAnswersNoPendingRequestAndKeepsTheSignature) {
  const auto fixture = fixtureFor();
  const auto digest = digestOf(32);
  auto operation = fixture->openApproval(digest);
  ASSERT_NE(operation, nullptr);
  Bytes made;
  fixture->transport().setAnswer([&](const TokenSignRequest& request) {
    made = signatureFor(fixture->key(), request);
    return made;
  });
  operation->password = "123456";
  ASSERT_TRUE(operation->finish().hasValue());

  operation->password = "123456";
  const auto second = operation->finish();
  ASSERT_FALSE(second.hasValue());
  EXPECT_EQ(second.error(), noPendingRequestError);
  EXPECT_FALSE(operation->password.has_value());
  EXPECT_STREQ(nameOf(fixture->phase()), "completed");
  EXPECT_EQ(fixture->transport().calls().size(), 1u);
  const auto signature = fixture->sign(digest);
  ASSERT_TRUE(signature.hasValue());
  EXPECT_EQ(signature.value(), made);
}

TEST(CorvantaTokenSession, ASecondFinishAfterAFailureSendsNothing) {
  const auto fixture = fixtureFor();
  auto operation = fixture->openApproval(digestOf(32));
  ASSERT_NE(operation, nullptr);
  fixture->transport().setAnswer([](const TokenSignRequest&) -> Bytes { throw TokenFailure::invalidCode; });
  operation->password = "123456";
  EXPECT_EQ(operation->finish().error(), Error(-5));
  // A new approval has opened meanwhile; the old operation leaves it alone.
  EXPECT_EQ(fixture->sign(digestOf(32)).error(), Error(-9));
  operation->password = "654321";
  EXPECT_EQ(operation->finish().error(), noPendingRequestError);
  EXPECT_FALSE(operation->password.has_value());
  EXPECT_EQ(fixture->transport().calls().size(), 1u);
  EXPECT_STREQ(nameOf(fixture->phase()), "awaiting");
}

// The host may release the session while an operation it handed out is still being answered: the
// operation holds what it needs.
TEST(CorvantaTokenSession, AnOperationOutlivesItsSession) {
  const auto fixture = fixtureFor();
  auto operation = fixture->openApproval(digestOf(32));
  ASSERT_NE(operation, nullptr);
  const std::weak_ptr<TokenApprovalGate> gate = fixture->session().gate();
  fixture->releaseSession();
  operation->password = "123456";
  EXPECT_TRUE(operation->finish().hasValue());
  EXPECT_EQ(fixture->transport().calls().size(), 1u);
  EXPECT_STREQ(nameOf(fixture->phase()), "completed");
  operation.reset();
  // The fixture's own reference is the last one left.
  EXPECT_FALSE(gate.expired());
}

TEST(CorvantaTokenSession, ReleasingAnOperationClosesOnlyItsUnfinishedApproval) {
  struct Row {
    std::string name;
    // Brings the operation to its end state before release; returns the phase expected afterwards.
    std::function<void(SessionFixture&, OneSignatureAuthOperation&)> before;
    const char* phaseAfter;
    bool nextSignGetsTheSignature;
  };
  const std::vector<Row> rows{
      {"never finished", [](SessionFixture&, OneSignatureAuthOperation&) {}, "empty", false},
      {"finished",
       [](SessionFixture&, OneSignatureAuthOperation& operation) {
         operation.password = "123456";
         ASSERT_TRUE(operation.finish().hasValue());
       },
       "completed", true},
      {"failed, with a new approval open since",
       [](SessionFixture& f, OneSignatureAuthOperation& operation) {
         operation.password = "12";
         EXPECT_EQ(operation.finish().error(), Error(-5));
         EXPECT_EQ(f.sign(digestOf(32)).error(), Error(-9));
       },
       "awaiting", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto fixture = fixtureFor();
    auto operation = fixture->openApproval(digestOf(32));
    ASSERT_NE(operation, nullptr);
    row.before(*fixture, *operation);
    const auto own = operation->approvalID();
    const auto pendingBefore = fixture->phase() == Phase::awaiting
                                   ? fixture->session().gate()->pendingApproval(fixture->time().continuous.now())
                                   : std::nullopt;
    operation.reset();
    EXPECT_STREQ(nameOf(fixture->phase()), row.phaseAfter);
    if (pendingBefore && *pendingBefore != own) {
      EXPECT_EQ(fixture->session().gate()->pendingApproval(fixture->time().continuous.now()), pendingBefore);
    }
    const auto next = fixture->sign(digestOf(32));
    EXPECT_EQ(next.hasValue(), row.nextSignGetsTheSignature);
    if (!row.nextSignGetsTheSignature) {
      EXPECT_EQ(next.error(), Error(-9));
    }
  }
}

// While the request is with the app the gate is not locked: another thread's sign,
// begin-authentication or finish call is answered at once, none sends the request a second time,
// and none closes the approval under way.
TEST(CorvantaTokenSession, CallsDuringTheRoundTripAreRefusedAtOnce) {
  const auto fixture = fixtureFor();
  const auto digest = digestOf(32);
  auto operation = fixture->openApproval(digest);
  ASSERT_NE(operation, nullptr);
  const Error alreadySubmitted(-2, "The signing request has already been submitted.");
  std::optional<Error> signDuring;
  std::optional<Error> beginDuring;
  std::optional<Error> finishDuring;
  fixture->transport().setAnswer([&](const TokenSignRequest& request) {
    auto other = std::async(std::launch::async, [&] {
      signDuring = fixture->sign(digest).error();
      beginDuring = fixture->beginAuth().error();
      operation->password = "654321";
      finishDuring = operation->finish().error();
    });
    if (other.wait_for(platform::runtime::testing::hangLimit) != std::future_status::ready) {
      ADD_FAILURE() << "the other thread's calls waited for the round trip";
    }
    return signatureFor(fixture->key(), request);
  });
  operation->password = "123456";
  EXPECT_TRUE(operation->finish().hasValue());
  EXPECT_EQ(signDuring, alreadySubmitted);
  EXPECT_EQ(beginDuring, alreadySubmitted);
  EXPECT_EQ(finishDuring, noPendingRequestError);
  EXPECT_FALSE(operation->password.has_value());
  EXPECT_EQ(fixture->transport().calls().size(), 1u);
  EXPECT_TRUE(fixture->sign(digest).hasValue());
}

}  // namespace
}  // namespace corvanta

#include "token-extension/corvanta_token_driver.hpp"

#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/uuid.hpp"
#include "token-extension/corvanta_token.hpp"
#include "token-extension/corvanta_token_session.hpp"
#include "token-extension/one_signature_auth_operation.hpp"
#include "token-extension/tests/token_extension_test_support.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::foundation::UUID;
using platform::security::testing::sharedTestKeys;
using platform::tokenkit::Operation;
using platform::tokenkit::TokenConfigurationSnapshot;

const Error unavailableError(-2, "The token session is no longer available.");
const platform::tokenkit::KeyAlgorithm ecdsaSHA256{std::string(SigningAlgorithm::ecdsaSHA256.securityAlgorithm())};

// A driver on the test's clocks whose sessions all share one scripted transport.
struct DriverFixture {
  TestClocks time;
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
  int transportsMade = 0;
  std::shared_ptr<CorvantaTokenDriver> driver = CorvantaTokenDriver::create(
      [this] {
        ++transportsMade;
        return transport;
      },
      time.clocks());

  DriverFixture() = default;
  DriverFixture(const DriverFixture&) = delete;
  DriverFixture& operator=(const DriverFixture&) = delete;

  std::shared_ptr<CorvantaToken> tokenFor(const TokenIdentity& identity) {
    auto result = driver->tokenForConfiguration(configurationOf(identity));
    if (!result) throw std::runtime_error("no token for the identity");
    return std::dynamic_pointer_cast<CorvantaToken>(result.value());
  }

  static TokenConfigurationSnapshot configurationOf(const TokenIdentity& identity) {
    return TokenConfigurationSnapshot{identity.instanceID(), identity.encodedJSON(), identity.keychainItems(testNow)};
  }
};

std::shared_ptr<CorvantaTokenSession> sessionOf(CorvantaToken& token) {
  auto result = token.createSession();
  if (!result) throw std::runtime_error("no session");
  return std::dynamic_pointer_cast<CorvantaTokenSession>(result.value());
}

platform::Bytes identityJSON(std::int64_t version, const platform::Bytes& der) {
  platform::foundation::JSONObjectWriter writer;
  writer.setInt64("version", version).setUUID("activationID", UUID::random()).setBytes("certificateDER", der);
  return platform::bytesOf(writer.serialized());
}

TEST(CorvantaTokenDriver, ATokenOnlyForDataOfTheCertificateItsInstanceNames) {
  const auto& key = sharedTestKeys().p256;
  const auto good = identityOf(certificateOf(key, 1));
  const auto other = identityOf(certificateOf(key, 2));
  const auto lapsedDER = certificateOf(key, 3, validFrom, testNow - std::chrono::hours(24));
  const auto lapsed = TokenIdentity(UUID::random(), lapsedDER, validFrom + std::chrono::hours(1));
  const auto earlyDER = certificateOf(key, 4, testNow + std::chrono::hours(24), validUntil);
  const auto early = TokenIdentity(UUID::random(), earlyDER, testNow + std::chrono::hours(25));

  const auto withData = [](const TokenIdentity& named, std::optional<platform::Bytes> data) {
    return TokenConfigurationSnapshot{named.instanceID(), std::move(data), {}};
  };
  std::string upperCaseID = good.instanceID();
  std::transform(upperCaseID.begin(), upperCaseID.end(), upperCaseID.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });

  struct Row {
    std::string name;
    TokenConfigurationSnapshot configuration;
    std::optional<Error> refusal;
  };
  const std::vector<Row> rows{
      {"no data", withData(good, std::nullopt), Error(-8)},
      {"data that is no JSON", withData(good, platform::bytesOf(std::string("not json"))), Error(-2)},
      {"JSON without the certificate", withData(good, platform::bytesOf(std::string(R"({"version":1,"activationID":")") +
                                                                  UUID::random().uuidString() + "\"}")),
       Error(-2)},
      {"version 2", withData(good, identityJSON(2, good.certificateDER())), Error(-8)},
      {"bytes that are no certificate", withData(good, identityJSON(1, platform::Bytes(300, 0x30))), Error(-2)},
      {"more data than an identity can have", withData(good, platform::Bytes(131073, ' ')), Error(-8)},
      {"a certificate that expired", withData(lapsed, lapsed.encodedJSON()), Error(-8)},
      {"a certificate not yet valid", withData(early, early.encodedJSON()), Error(-8)},
      {"the instance identifier of another certificate", withData(other, good.encodedJSON()), Error(-8)},
      {"the instance identifier in upper case", TokenConfigurationSnapshot{upperCaseID, good.encodedJSON(), {}},
       Error(-8)},
      {"the data of its own certificate", DriverFixture::configurationOf(good), std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DriverFixture fixture;
    const auto result = fixture.driver->tokenForConfiguration(row.configuration);
    if (row.refusal) {
      ASSERT_FALSE(result.hasValue());
      EXPECT_EQ(result.error(), *row.refusal);
      continue;
    }
    ASSERT_TRUE(result.hasValue());
    const auto token = std::dynamic_pointer_cast<CorvantaToken>(result.value());
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->instanceID(), row.configuration.instanceID);
    EXPECT_EQ(token->identity(), good);
    EXPECT_EQ(token->identity().keyObjectID(), "key:" + row.configuration.instanceID);
    EXPECT_EQ(token->driver(), fixture.driver);
    EXPECT_TRUE(token->isActive());
    EXPECT_EQ(token->rememberedSessionCount(), 0u);
  }
}

// The configuration is read at the driver's date, not the machine's.
TEST(CorvantaTokenDriver, TheCertificateIsCheckedAtTheDriversDate) {
  DriverFixture fixture;
  const auto identity = identityOf(certificateOf(sharedTestKeys().p256));
  fixture.time.date = validUntil;
  const auto refused = fixture.driver->tokenForConfiguration(DriverFixture::configurationOf(identity));
  ASSERT_FALSE(refused.hasValue());
  EXPECT_EQ(refused.error(), Error(-8));
  fixture.time.date = validUntil - std::chrono::seconds(1);
  EXPECT_TRUE(fixture.driver->tokenForConfiguration(DriverFixture::configurationOf(identity)).hasValue());
}

TEST(CorvantaToken, EverySessionHasItsOwnGateAndRoad) {
  DriverFixture fixture;
  const auto token = fixture.tokenFor(identityOf(certificateOf(sharedTestKeys().p256)));
  const auto first = sessionOf(*token);
  const auto second = sessionOf(*token);
  EXPECT_EQ(fixture.transportsMade, 2);
  EXPECT_NE(first->gate(), second->gate());
  EXPECT_EQ(first->token(), token);
  EXPECT_EQ(first->identity(), token->identity());

  // An approval opened in one session is not the other's.
  EXPECT_EQ(first->signData(digestOf(32), token->identity().keyObjectID(), ecdsaSHA256).error(), Error(-9));
  EXPECT_EQ(first->gate()->phase(), TokenApprovalGate::Phase::awaiting);
  EXPECT_EQ(second->gate()->phase(), TokenApprovalGate::Phase::empty);
}

TEST(CorvantaToken, ReleasedSessionsArePrunedAtTheNextCreation) {
  DriverFixture fixture;
  const auto token = fixture.tokenFor(identityOf(certificateOf(sharedTestKeys().p256)));
  auto first = sessionOf(*token);
  const auto second = sessionOf(*token);
  const std::weak_ptr<CorvantaTokenSession> released = first;
  first.reset();
  // The token kept nothing alive, and forgets only when it next creates.
  EXPECT_TRUE(released.expired());
  EXPECT_EQ(token->rememberedSessionCount(), 2u);
  const auto third = sessionOf(*token);
  EXPECT_EQ(token->rememberedSessionCount(), 2u);
  const auto fourth = sessionOf(*token);
  EXPECT_EQ(token->rememberedSessionCount(), 3u);
}

TEST(CorvantaToken, TerminationEndsTheTokenAndEveryLiveSession) {
  DriverFixture fixture;
  const auto identity = identityOf(certificateOf(sharedTestKeys().p256));
  const auto token = fixture.tokenFor(identity);
  const auto idle = sessionOf(*token);
  const auto signing = sessionOf(*token);
  auto released = sessionOf(*token);
  const auto releasedGate = released->gate();
  released.reset();

  // One session has an approval open and its operation handed out.
  EXPECT_EQ(signing->signData(digestOf(32), identity.keyObjectID(), ecdsaSHA256).error(), Error(-9));
  auto begun = signing->beginAuth(Operation::signData, std::string(TokenIdentity::approvalConstraint));
  ASSERT_TRUE(begun.hasValue());
  auto* operation = dynamic_cast<OneSignatureAuthOperation*>(begun.value().get());
  ASSERT_NE(operation, nullptr);
  fixture.transport->setAnswer([](const TokenSignRequest&) -> Bytes { throw std::logic_error("must not be sent"); });

  fixture.driver->terminateToken(token);

  EXPECT_FALSE(token->isActive());
  EXPECT_EQ(token->rememberedSessionCount(), 0u);
  const auto created = token->createSession();
  ASSERT_FALSE(created.hasValue());
  EXPECT_EQ(created.error(), unavailableError);
  for (const auto& session : {idle, signing}) {
    EXPECT_FALSE(session->gate()->isValid());
    EXPECT_EQ(session->signData(digestOf(32), identity.keyObjectID(), ecdsaSHA256).error(), unavailableError);
    EXPECT_EQ(session->beginAuth(Operation::signData, std::string(TokenIdentity::approvalConstraint)).error(),
              unavailableError);
  }
  operation->password = "123456";
  const auto finished = operation->finish();
  ASSERT_FALSE(finished.hasValue());
  EXPECT_EQ(finished.error(), unavailableError);
  EXPECT_TRUE(fixture.transport->calls().empty());
  // Termination reached only the sessions still alive.
  EXPECT_TRUE(releasedGate->isValid());

  // Again, harmlessly.
  fixture.driver->terminateToken(token);
  EXPECT_FALSE(token->createSession().hasValue());
}

TEST(CorvantaTokenDriver, TerminationOfAnotherKindOfTokenIsIgnored) {
  class OtherToken final : public platform::tokenkit::Token {
  public:
    using Token::Token;
    platform::tokenkit::Result<std::shared_ptr<platform::tokenkit::TokenSession>> createSession() override {
      return Error(-1);
    }
  };
  DriverFixture fixture;
  const auto ours = fixture.tokenFor(identityOf(certificateOf(sharedTestKeys().p256)));
  const auto session = sessionOf(*ours);
  fixture.driver->terminateToken(std::make_shared<OtherToken>(fixture.driver, ours->instanceID()));
  fixture.driver->terminateToken(nullptr);
  EXPECT_TRUE(ours->isActive());
  EXPECT_TRUE(session->gate()->isValid());
  EXPECT_TRUE(ours->createSession().hasValue());
}

// Each token answers for itself: ending one leaves a token of another configuration working.
TEST(CorvantaTokenDriver, TerminationEndsOnlyThatToken) {
  DriverFixture fixture;
  const auto first = fixture.tokenFor(identityOf(certificateOf(sharedTestKeys().p256, 1)));
  const auto second = fixture.tokenFor(identityOf(certificateOf(sharedTestKeys().p256, 2)));
  const auto secondSession = sessionOf(*second);
  fixture.driver->terminateToken(first);
  EXPECT_FALSE(first->isActive());
  EXPECT_TRUE(second->isActive());
  EXPECT_TRUE(secondSession->gate()->isValid());
  EXPECT_EQ(secondSession->signData(digestOf(32), second->identity().keyObjectID(), ecdsaSHA256).error(), Error(-9));
}

}  // namespace
}  // namespace corvanta

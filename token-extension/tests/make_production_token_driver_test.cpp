#include "token-extension/make_production_token_driver.hpp"

#include "platform/codesign/testing/fake_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/peer_verifier.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-extension/one_signature_auth_operation.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {
namespace {

namespace xpc = platform::xpc;
using platform::codesign::CodeIdentity;
using platform::codesign::testing::FakeCodeSigning;
using platform::tokenkit::Error;
using platform::tokenkit::Operation;

// Takes the system's requirement texts, or none at all.
class TextVerifier final : public xpc::PeerVerifier {
public:
  explicit TextVerifier(bool takesRequirements) : takesRequirements_(takesRequirements) {}
  bool isValidRequirement(std::string_view text) const override {
    return takesRequirements_ && text.starts_with("anchor apple generic ");
  }
  bool satisfies(pid_t, std::string_view) const override { return takesRequirements_; }

private:
  bool takesRequirements_;
};

// The production road runs on the machine's clocks and date, so the certificate is valid now; every
// row ends before anything would wait: no router listens in the runtime directory.
TEST(MakeProductionTokenDriver, SessionsReachTheAppThroughTheContextAndTheCodeSigning) {
  struct Row {
    std::string name;
    std::optional<CodeIdentity> self;
    bool verifierTakesRequirements;
    Error error;
  };
  const auto signedExtension = FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::driverID), "TEAMABCDE1");
  const std::vector<Row> rows{
      {"an unsigned extension", std::nullopt, true,
       Error(-2, "The token could not read its company signing identity.")},
      {"a context that takes no requirement", signedExtension, false,
       Error(-2, "The token could not read its company signing identity.")},
      {"no router in the runtime directory", signedExtension, true,
       Error(-2, "The token could not reach its local connection service.")},
  };
  const auto& key = platform::security::testing::sharedTestKeys().p256;
  const TokenIdentity identity(platform::foundation::UUID::random(), key.selfSignedCertificate());

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const platform::foundation::testing::TemporaryDirectory directory("/tmp");
    xpc::Context context(xpc::RuntimeDirectory::at((directory.path() / "runtime").string()),
                         xpc::ContextOptions{std::make_shared<TextVerifier>(row.verifierTakesRequirements)});
    const FakeCodeSigning codeSigning(row.self);
    const auto driver = makeProductionTokenDriver(context, codeSigning);

    const auto token =
        driver->tokenForConfiguration({identity.instanceID(), identity.encodedJSON(), identity.keychainItems()});
    ASSERT_TRUE(token.hasValue());
    const auto session = token.value()->createSession();
    ASSERT_TRUE(session.hasValue());
    const platform::tokenkit::KeyAlgorithm algorithm{std::string(SigningAlgorithm::ecdsaSHA256.securityAlgorithm())};
    const platform::Bytes digest(32, 0x5A);
    EXPECT_EQ(session.value()->signData(digest, identity.keyObjectID(), algorithm).error(), Error(-9));
    auto begun = session.value()->beginAuth(Operation::signData, std::string(TokenIdentity::approvalConstraint));
    ASSERT_TRUE(begun.hasValue());
    auto* operation = dynamic_cast<OneSignatureAuthOperation*>(begun.value().get());
    ASSERT_NE(operation, nullptr);
    operation->password = "123456";
    const auto finished = operation->finish();
    ASSERT_FALSE(finished.hasValue());
    EXPECT_EQ(finished.error(), row.error);
  }
}

}  // namespace
}  // namespace corvanta

// The token path across three real processes, each a program of its own with its own identity
// record and the production peer checks: the extension finds the app through the router, has it
// sign and gets the signature back.
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/testing/test_program.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/verification_key.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

using platform::foundation::testing::TestProgram;
using platform::runtime::testing::hangLimit;

// The socket paths must stay within 108 bytes, so the runtime directory lies under /tmp.
class RoadTest : public ::testing::Test {
protected:
  void SetUp() override {
    // Made before any program starts, so that none races another to create it.
    platform::xpc::RuntimeDirectory::at(runtimeDirectory());
  }

  std::string runtimeDirectory() const { return (temporary.path() / "run").string(); }

  std::unique_ptr<TestProgram> startRouter() {
    auto router = std::make_unique<TestProgram>(std::vector<std::string>{ROAD_ROUTER, runtimeDirectory()});
    EXPECT_EQ(router->nextLine(hangLimit), "ready");
    return router;
  }

  // An app whose signer signs (or quits) as told, with the identity it published.
  std::pair<std::unique_ptr<TestProgram>, std::string> startApp(const std::string& behaviour) {
    auto app = std::make_unique<TestProgram>(std::vector<std::string>{ROAD_APP, runtimeDirectory(), behaviour});
    auto identity = app->expect("identity", hangLimit);
    return {std::move(app), std::move(identity)};
  }

  // One signature as the extension asks for it: "signature <hex>" or "failure <case>".
  std::string signThroughTheExtension(const std::string& identityJSON) {
    TestProgram extension({ROAD_EXTENSION, runtimeDirectory(), identityJSON, platform::foundation::lowercaseHex(digest)});
    auto line = extension.nextLine(hangLimit);
    EXPECT_EQ(extension.reap(), 0);
    return line.value_or("no answer");
  }

  // Closes its standard input, which tells it to end, and returns its exit status.
  static int finish(TestProgram& program) {
    program.closeInput();
    return program.reap();
  }

  static ::testing::AssertionResult verifies(const std::string& line, const std::string& identityJSON,
                                             const platform::Bytes& digest) {
    if (!line.starts_with("signature ")) return ::testing::AssertionFailure() << line;
    const auto signature = platform::foundation::hexDecoded(line.substr(std::string("signature ").size()));
    if (!signature) return ::testing::AssertionFailure() << "not hexadecimal: " << line;
    const auto identity = TokenIdentity::decode(platform::bytesOf(identityJSON));
    try {
      VerificationKey::fromCertificateDER(identity.certificateDER())
          .verify(*signature, digest, SigningAlgorithm::ecdsaSHA256);
    } catch (const std::exception& error) {
      return ::testing::AssertionFailure() << "the signature does not verify: " << error.what();
    }
    return ::testing::AssertionSuccess();
  }

  const platform::Bytes digest = platform::Bytes(32, 0x3C);
  platform::foundation::testing::TemporaryDirectory temporary{"/tmp"};
};

TEST_F(RoadTest, TheExtensionFindsTheAppThroughTheRouterAndGetsASignatureOfTheCertificatesKey) {
  const auto router = startRouter();
  const auto [app, identity] = startApp("signs");
  ASSERT_EQ(app->nextLine(hangLimit), "registered");

  EXPECT_TRUE(verifies(signThroughTheExtension(identity), identity, digest));
  // One code, one signature: the next one is a request of its own and is served as well.
  EXPECT_TRUE(verifies(signThroughTheExtension(identity), identity, digest));

  // The app goes, and with its connection to the router its endpoint: nothing is found any more.
  EXPECT_EQ(finish(*app), 0);
  // The router learns of it from its own socket, a moment after the app has ended; until then
  // the extension reaches a listener that is gone.
  std::string answer;
  for (int attempt = 0; attempt < 50; ++attempt) {
    answer = signThroughTheExtension(identity);
    if (answer != "failure ownerUnavailable" && answer != "failure ownerReplyUnavailable") break;
  }
  EXPECT_EQ(answer, "failure endpointUnavailable");
  EXPECT_EQ(finish(*router), 0);
}

TEST_F(RoadTest, AnAppThatQuitsWhileTheExtensionWaitsLeavesItWithOwnerUnavailable) {
  const auto router = startRouter();
  const auto [app, identity] = startApp("quits");
  ASSERT_EQ(app->nextLine(hangLimit), "registered");

  EXPECT_EQ(signThroughTheExtension(identity), "failure ownerUnavailable");
  EXPECT_EQ(app->reap(), 0) << "the app quit the moment it was asked to sign";
}

TEST_F(RoadTest, WithoutARouterTheAppCannotRegisterAndTheExtensionFindsNoEndpoint) {
  const auto [app, identity] = startApp("signs");
  EXPECT_EQ(app->nextLine(hangLimit), "refused unavailable");
  EXPECT_EQ(signThroughTheExtension(identity), "failure endpointUnavailable");
}

TEST_F(RoadTest, ASecondAppIsRefusedWhileTheFirstHoldsTheSlot) {
  const auto router = startRouter();
  const auto [first, firstIdentity] = startApp("signs");
  ASSERT_EQ(first->nextLine(hangLimit), "registered");
  const auto [second, secondIdentity] = startApp("signs");
  EXPECT_EQ(second->nextLine(hangLimit), "refused unavailable");

  // The slot is still the first app's: the extension reaches it, and a request for the second
  // app's identity is refused there rather than signed.
  EXPECT_TRUE(verifies(signThroughTheExtension(firstIdentity), firstIdentity, digest));
  EXPECT_EQ(signThroughTheExtension(secondIdentity), "failure requestChanged");
}

}  // namespace
}  // namespace corvanta

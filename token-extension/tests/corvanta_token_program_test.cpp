#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/security/key_algorithm.hpp"
#include "platform/tokenkit/host/token_host.hpp"
#include "platform/tokenkit/testing/in_memory_token_kit.hpp"
#include "session-router/tests/private_system_places.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_publication.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

namespace tokenkit = platform::tokenkit;
using namespace std::chrono_literals;
using namespace std::string_literals;

class FakePrompt final : public tokenkit::PasswordPrompt {
public:
  explicit FakePrompt(std::vector<std::optional<std::string>> answers) : answers_(answers.begin(), answers.end()) {}

  std::optional<std::string> ask(const tokenkit::PromptRequest& request) override {
    const std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (answers_.empty()) return std::nullopt;
    auto answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  std::vector<tokenkit::PromptRequest> requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

private:
  std::mutex mutex_;
  std::deque<std::optional<std::string>> answers_;
  std::vector<tokenkit::PromptRequest> requests_;
};

struct ProgramCase {
  std::string name;
  std::vector<std::optional<std::string>> answers;
  std::string algorithm;
  bool withData;
  tokenkit::Error expected;
  std::size_t prompts;
};

// The CorvantaToken program as the token host starts it through its manifest, with an identity as
// the app publishes it and no router in the runtime directory: the program makes the token and its
// session from the published data, asks for authentication, and after the code reports that the
// road to the app is not there.
TEST(CorvantaTokenProgramTest, ServedThroughTheHost) {
  if (!testing::havePrivateSystemPlaces()) GTEST_SKIP() << "the system gives this test no mount namespace of its own";
  const std::string ecdsa{platform::security::keyAlgorithm::ecdsaSignatureDigestX962SHA256};
  const std::vector<ProgramCase> cases = {
      {"code confirmed: no router to reach", {"123456"}, ecdsa, true,
       tokenkit::Error(-2, "The token could not reach its local connection service."s), 1},
      {"prompt cancelled", {std::nullopt}, ecdsa, true, tokenkit::Error(tokenkit::ErrorCode::canceledByUser), 1},
      {"algorithm the key cannot do", {}, std::string(platform::security::keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256),
       true, tokenkit::Error(tokenkit::ErrorCode::notImplemented), 0},
      {"configuration without data", {}, ecdsa, false, tokenkit::Error(tokenkit::ErrorCode::badParameter), 0},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const platform::foundation::testing::TemporaryDirectory directory;
    const std::string driverID{TokenPeerIdentity::driverID};
    std::ofstream(directory.path() / (driverID + ".json"))
        << R"({"executable":")" << CORVANTA_TOKEN_PROGRAM << R"(","principal":"CorvantaTokenDriver"})";

    tokenkit::testing::InMemoryTokenKit store;
    store.installDriver(driverID);
    const auto now = std::chrono::system_clock::now();
    const TokenIdentity identity(platform::foundation::UUID::random(),
                                 testing::certificateOf(platform::security::testing::sharedTestKeys().p256, 1,
                                                        now - 24h, now + 24h * 365),
                                 now);
    TokenPublication::publish(store, identity, now);
    if (!testCase.withData) {
      store.driverConfigurations().at(driverID)->tokenConfigurations().at(identity.instanceID())->setConfigurationData(
          std::nullopt);
    }
    FakePrompt prompt(testCase.answers);
    tokenkit::TokenHost host(store, directory.path(), prompt);

    const auto result = host.sign(tokenkit::TokenClient{1, "a client"}, identity.keyObjectID(), testCase.algorithm,
                                  platform::Bytes(32, 7));

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), testCase.expected);
    const auto requests = prompt.requests();
    ASSERT_EQ(requests.size(), testCase.prompts);
    for (const auto& request : requests) {
      EXPECT_EQ(request, (tokenkit::PromptRequest{identity.instanceID(), std::string(TokenIdentity::keychainLabel),
                                                  "a client"}));
    }
  }
}

}  // namespace
}  // namespace corvanta

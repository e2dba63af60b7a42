// The token path across three real processes, each a program of its own with its own identity
// record and the production peer checks: the extension finds the app through the router, has it
// sign and gets the signature back.
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/verification_key.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace corvanta {
namespace {

using platform::foundation::UniqueFd;
using platform::runtime::testing::hangLimit;

// A test program with a pipe on its standard input (it runs until that closes) and one on its
// standard output, which it answers on line by line. Killed and reaped if the test leaves it.
class Program {
public:
  explicit Program(std::vector<std::string> arguments) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    UniqueFd inputRead(input[0]);
    UniqueFd outputWrite(output[1]);
    input_ = UniqueFd(input[1]);
    output_ = UniqueFd(output[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 leaves the copies open across exec; every other descriptor of ours is close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + arguments.front());
  }

  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The next line it wrote, without its newline; none when it closed its output or wrote nothing
  // for the hang limit.
  std::optional<std::string> nextLine() {
    const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
    for (;;) {
      if (const auto end = buffered_.find('\n'); end != std::string::npos) {
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd readable{output_.get(), POLLIN, 0};
      const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[4096];
      const auto got = ::read(output_.get(), chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      buffered_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // The next line, which must begin with `word` and a space; the rest of it.
  std::string expect(const std::string& word) {
    const auto line = nextLine();
    if (!line) throw std::runtime_error("no answer where \"" + word + "\" was expected");
    if (!line->starts_with(word + " ")) throw std::runtime_error("\"" + *line + "\" where \"" + word + "\" was expected");
    return line->substr(word.size() + 1);
  }

  // Closes its standard input, which tells it to end, and returns its exit status.
  int finish() {
    input_ = UniqueFd();
    return reap();
  }

  // Its exit status once it has ended on its own; -1 when it was killed by a signal.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) throw std::runtime_error("waitpid");
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
  std::string buffered_;
};

// The socket paths must stay within 108 bytes, so the runtime directory lies under /tmp.
class RoadTest : public ::testing::Test {
protected:
  void SetUp() override {
    // Made before any program starts, so that none races another to create it.
    platform::xpc::RuntimeDirectory::at(runtimeDirectory());
  }

  std::string runtimeDirectory() const { return (temporary.path() / "run").string(); }

  std::unique_ptr<Program> startRouter() {
    auto router = std::make_unique<Program>(std::vector<std::string>{ROAD_ROUTER, runtimeDirectory()});
    EXPECT_EQ(router->nextLine(), "ready");
    return router;
  }

  // An app whose signer signs (or quits) as told, with the identity it published.
  std::pair<std::unique_ptr<Program>, std::string> startApp(const std::string& behaviour) {
    auto app = std::make_unique<Program>(std::vector<std::string>{ROAD_APP, runtimeDirectory(), behaviour});
    auto identity = app->expect("identity");
    return {std::move(app), std::move(identity)};
  }

  // One signature as the extension asks for it: "signature <hex>" or "failure <case>".
  std::string signThroughTheExtension(const std::string& identityJSON) {
    Program extension({ROAD_EXTENSION, runtimeDirectory(), identityJSON, platform::foundation::lowercaseHex(digest)});
    auto line = extension.nextLine();
    EXPECT_EQ(extension.reap(), 0);
    return line.value_or("no answer");
  }

  static ::testing::AssertionResult verifies(const std::string& line, const std::string& identityJSON,
                                             const platform::Bytes& digest) {
    if (!line.starts_with("signature ")) return ::testing::AssertionFailure() << line;
    const auto hex = line.substr(std::string("signature ").size());
    platform::Bytes signature;
    for (std::size_t index = 0; index + 1 < hex.size(); index += 2) {
      signature.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(index, 2), nullptr, 16)));
    }
    const auto identity = TokenIdentity::decode(platform::bytesOf(identityJSON));
    try {
      VerificationKey::fromCertificateDER(identity.certificateDER())
          .verify(signature, digest, SigningAlgorithm::ecdsaSHA256);
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
  ASSERT_EQ(app->nextLine(), "registered");

  EXPECT_TRUE(verifies(signThroughTheExtension(identity), identity, digest));
  // One code, one signature: the next one is a request of its own and is served as well.
  EXPECT_TRUE(verifies(signThroughTheExtension(identity), identity, digest));

  // The app goes, and with its connection to the router its endpoint: nothing is found any more.
  EXPECT_EQ(app->finish(), 0);
  // The router learns of it from its own socket, a moment after the app has ended; until then
  // the extension reaches a listener that is gone.
  std::string answer;
  for (int attempt = 0; attempt < 50; ++attempt) {
    answer = signThroughTheExtension(identity);
    if (answer != "failure ownerUnavailable" && answer != "failure ownerReplyUnavailable") break;
  }
  EXPECT_EQ(answer, "failure endpointUnavailable");
  EXPECT_EQ(router->finish(), 0);
}

TEST_F(RoadTest, AnAppThatQuitsWhileTheExtensionWaitsLeavesItWithOwnerUnavailable) {
  const auto router = startRouter();
  const auto [app, identity] = startApp("quits");
  ASSERT_EQ(app->nextLine(), "registered");

  EXPECT_EQ(signThroughTheExtension(identity), "failure ownerUnavailable");
  EXPECT_EQ(app->reap(), 0) << "the app quit the moment it was asked to sign";
}

TEST_F(RoadTest, WithoutARouterTheAppCannotRegisterAndTheExtensionFindsNoEndpoint) {
  const auto [app, identity] = startApp("signs");
  EXPECT_EQ(app->nextLine(), "refused unavailable");
  EXPECT_EQ(signThroughTheExtension(identity), "failure endpointUnavailable");
}

TEST_F(RoadTest, ASecondAppIsRefusedWhileTheFirstHoldsTheSlot) {
  const auto router = startRouter();
  const auto [first, firstIdentity] = startApp("signs");
  ASSERT_EQ(first->nextLine(), "registered");
  const auto [second, secondIdentity] = startApp("signs");
  EXPECT_EQ(second->nextLine(), "refused unavailable");

  // The slot is still the first app's: the extension reaches it, and a request for the second
  // app's identity is refused there rather than signed.
  EXPECT_TRUE(verifies(signThroughTheExtension(firstIdentity), firstIdentity, digest));
  EXPECT_EQ(signThroughTheExtension(secondIdentity), "failure requestChanged");
}

}  // namespace
}  // namespace corvanta

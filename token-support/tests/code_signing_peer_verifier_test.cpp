#include "token-support/code_signing_peer_verifier.hpp"

#include "platform/codesign/system_code_signing.hpp"
#include "platform/codesign/testing/fake_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using platform::codesign::SystemCodeSigning;
using platform::codesign::testing::FakeCodeSigning;
namespace xpc = platform::xpc;

constexpr char team[] = "TEAMABCDE1";

TEST(CodeSigningPeerVerifier, TakesTheSystemsRequirementsAndChecksTheProcessAgainstThem) {
  auto codeSigning = std::make_shared<FakeCodeSigning>();
  codeSigning->setProcess(100, FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::ownerID), team));
  codeSigning->setProcess(101, FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::routerID), team));
  codeSigning->setProcess(102, FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::ownerID), "OTHERTEAM1"));
  codeSigning->setProcess(103, platform::codesign::CodeIdentity{});  // unsigned
  const CodeSigningPeerVerifier verifier(codeSigning);
  const auto owner = TokenPeerIdentity::requirement(team, TokenPeerIdentity::ownerID);

  EXPECT_TRUE(verifier.isValidRequirement(owner));
  for (const auto* text : {"", "anchor apple generic", "identifier \"ro.corvanta.sign.development\""}) {
    EXPECT_FALSE(verifier.isValidRequirement(text)) << text;
    EXPECT_FALSE(verifier.satisfies(100, text)) << text;
  }
  const struct {
    pid_t pid;
    bool satisfies;
  } rows[] = {{100, true}, {101, false}, {102, false}, {103, false}, {104, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(verifier.satisfies(row.pid, owner), row.satisfies) << "pid " << row.pid;
  }
  EXPECT_THROW(CodeSigningPeerVerifier(nullptr), std::invalid_argument);
}

// Over real sockets, the identity record of this test program (the app's identifier, the build's
// team) is what both ends check.

const xpc::Interface echoInterface{{{"echo:reply:", {xpc::Kind::int64}, {xpc::Kind::int64}}}};

class EchoServer final : public xpc::ExportedObject {
public:
  explicit EchoServer(std::shared_ptr<std::atomic<int>> calls) : calls_(std::move(calls)) {}
  void invoke(const std::string&, xpc::Values arguments, xpc::Reply reply) override {
    ++*calls_;
    reply(std::move(arguments));
  }

private:
  std::shared_ptr<std::atomic<int>> calls_;
};

// Accepts every peer the layer lets through, counting them and the calls they make.
class CountingDelegate final : public xpc::ListenerDelegate {
public:
  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    std::lock_guard lock(mutex_);
    ++asked_;
    connection->setExportedInterface(echoInterface);
    connection->setExportedObject(std::make_shared<EchoServer>(calls_));
    connection->resume();
    accepted_.push_back(connection);
    return true;
  }
  int asked() {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  int calls() const { return calls_->load(); }
  void invalidateAll() {
    std::lock_guard lock(mutex_);
    for (const auto& connection : accepted_) connection->invalidate();
    accepted_.clear();
  }

private:
  std::mutex mutex_;
  int asked_ = 0;
  std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
  std::vector<std::shared_ptr<xpc::Connection>> accepted_;
};

// How a call ended: "reply N" or "error"; and whether the connection was invalidated.
struct CallOutcome {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::string> result;
  bool invalidated = false;

  bool waitForResult() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 60s, [&] { return result.has_value(); });
  }
};

class VerifiedConnections : public ::testing::Test {
protected:
  void SetUp() override {
    team_ = TokenPeerIdentity::currentTeamID(*codeSigning_);
    context_.emplace(xpc::RuntimeDirectory::at(temporary_.path() / "run"),
                     xpc::ContextOptions{std::make_shared<CodeSigningPeerVerifier>(codeSigning_)});
  }
  void TearDown() override {
    for (const auto& delegate : delegates_) delegate->invalidateAll();
    context_.reset();
  }

  std::string requirementOf(std::string_view identifier) const { return TokenPeerIdentity::requirement(team_, identifier); }

  std::shared_ptr<xpc::Listener> listenRequiring(std::string_view identifier, std::shared_ptr<CountingDelegate> delegate) {
    auto listener = xpc::Listener::anonymous(*context_);
    EXPECT_TRUE(listener->setConnectionCodeSigningRequirement(requirementOf(identifier)));
    listener->setDelegate(delegate);
    delegates_.push_back(delegate);
    listener->resume();
    return listener;
  }

  // One echo call to the listener from a connection that requires the server to be `identifier`.
  std::string callRequiring(const xpc::Listener& listener, std::string_view identifier) {
    auto outcome = std::make_shared<CallOutcome>();
    auto connection = xpc::Connection::toEndpoint(*context_, listener.endpoint());
    EXPECT_TRUE(connection->setCodeSigningRequirement(requirementOf(identifier)));
    connection->setRemoteInterface(echoInterface);
    connection->setInvalidationHandler([outcome] {
      std::lock_guard lock(outcome->mutex);
      outcome->invalidated = true;
    });
    connection->resume();
    connection->send(
        "echo:reply:", {std::int64_t{42}},
        [outcome](xpc::Values reply) {
          std::lock_guard lock(outcome->mutex);
          outcome->result = "reply " + std::to_string(std::get<std::int64_t>(reply.at(0)));
          outcome->changed.notify_all();
        },
        [outcome](xpc::Error) {
          std::lock_guard lock(outcome->mutex);
          outcome->result = "error";
          outcome->changed.notify_all();
        });
    EXPECT_TRUE(outcome->waitForResult());
    connection->invalidate();
    std::lock_guard lock(outcome->mutex);
    return outcome->result.value_or("nothing");
  }

  std::shared_ptr<const SystemCodeSigning> codeSigning_ = std::make_shared<SystemCodeSigning>();
  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::string team_;
  std::vector<std::shared_ptr<CountingDelegate>> delegates_;
  std::optional<xpc::Context> context_;
};

TEST_F(VerifiedConnections, BothEndsAreCheckedAgainstTheIdentityRecordOfTheExecutable) {
  ASSERT_EQ(team_, CORVANTA_TEAM_ID);

  auto delegate = std::make_shared<CountingDelegate>();
  const auto listener = listenRequiring(TokenPeerIdentity::ownerID, delegate);
  EXPECT_EQ(callRequiring(*listener, TokenPeerIdentity::ownerID), "reply 42");
  EXPECT_EQ(delegate->calls(), 1);

  // A server that is not the process the client requires hears nothing from it: the client
  // checks before it sends.
  EXPECT_EQ(callRequiring(*listener, TokenPeerIdentity::routerID), "error");
  EXPECT_EQ(delegate->calls(), 1);

  // A client that is not the process the listener requires never reaches its delegate.
  auto routerOnly = std::make_shared<CountingDelegate>();
  const auto routerListener = listenRequiring(TokenPeerIdentity::routerID, routerOnly);
  EXPECT_EQ(callRequiring(*routerListener, TokenPeerIdentity::ownerID), "error");
  EXPECT_EQ(routerOnly->asked(), 0);
  EXPECT_EQ(routerOnly->calls(), 0);
}

}  // namespace
}  // namespace corvanta

#include "platform/tokenkit/host/extension_proxy.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::tokenkit {
namespace {

using platform::foundation::testing::TemporaryDirectory;
using platform::runtime::testing::hangLimit;
using namespace std::string_literals;

// The rogue extension (tests/rogue_extension.cpp) answers its first request as the configuration
// data's mode says and notes its pid in a file.
class ExtensionProxyTest : public ::testing::Test {
protected:
  TokenConfigurationSnapshot configuration(const std::string& mode) const {
    return {"rogue", bytesOf(R"({"mode":")" + mode + R"(","pidFile":")" + pidFile.string() + R"("})"), {}};
  }

  std::vector<pid_t> pids() const {
    std::vector<pid_t> found;
    std::ifstream in(pidFile);
    for (pid_t pid = 0; in >> pid;) found.push_back(pid);
    return found;
  }

  // Whether the process is gone and reaped; a rogue extension never ends by itself.
  static bool endsSoon(pid_t pid) {
    const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
    while (std::chrono::steady_clock::now() < giveUp) {
      if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  TemporaryDirectory directory;
  std::filesystem::path pidFile = directory.path() / "pids";
};

// Whatever the extension sends that is not the reply the call waits for ends the connection: the
// call answers communicationError, the extension is ended by the host, and the next call starts a
// new one that works.
TEST_F(ExtensionProxyTest, WhatIsNotTheReplyEndsTheExtension) {
  for (const auto* mode : {"garbage", "oversized", "unasked", "misshaped", "descriptor", "exit"}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove(pidFile);
    ExtensionProxy proxy(TOKENKIT_ROGUE_EXTENSION);
    const auto refused = proxy.tokenForConfiguration(configuration(mode));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), Error(ErrorCode::communicationError));
    ASSERT_EQ(pids().size(), 1U);
    EXPECT_TRUE(endsSoon(pids().front()));

    const auto made = proxy.tokenForConfiguration(configuration("good"));
    ASSERT_TRUE(made);
    EXPECT_EQ(made.value().object, 7U);
    EXPECT_TRUE(proxy.isLive(made.value()));
    ASSERT_EQ(pids().size(), 2U);
    EXPECT_NE(pids()[0], pids()[1]);
  }
}

// Objects of a run that ended name nothing: every call on them answers communicationError at once,
// and none of them starts the extension again.
TEST_F(ExtensionProxyTest, ObjectsOfAnEndedRunAnswerAtOnce) {
  ExtensionProxy proxy(TOKENKIT_ROGUE_EXTENSION);
  const auto token = proxy.tokenForConfiguration(configuration("good"));
  ASSERT_TRUE(token);
  // The rogue ends at its second request, so this call sees it die.
  EXPECT_EQ(proxy.createSession(token.value()).error(), Error(ErrorCode::communicationError));
  EXPECT_FALSE(proxy.isLive(token.value()));

  const ExtensionHandle session{token.value().run, 8};
  EXPECT_EQ(proxy.createSession(token.value()).error(), Error(ErrorCode::communicationError));
  EXPECT_EQ(proxy.supports(session, Operation::signData, "k"s, {"a"}).error(), Error(ErrorCode::communicationError));
  EXPECT_EQ(proxy.signData(session, {}, "k"s, {"a"}).error(), Error(ErrorCode::communicationError));
  EXPECT_EQ(proxy.beginAuth(session, Operation::signData, Constraint(true)).error(), Error(ErrorCode::communicationError));
  EXPECT_EQ(proxy.finish(session, "123456"s).error(), Error(ErrorCode::communicationError));
  proxy.releaseOperation(session);
  proxy.releaseSession(session);
  proxy.terminateToken(token.value());
  EXPECT_EQ(pids().size(), 1U);
}

// An extension that does not end once the host closed its connection is given the grace period
// and then killed: the host waits at least that long, and far less than the extension would live.
TEST_F(ExtensionProxyTest, AnExtensionThatOutlivesTheHostsCloseIsKilledAfterTheGrace) {
  std::optional<ExtensionProxy> proxy;
  proxy.emplace(TOKENKIT_ROGUE_EXTENSION);
  ASSERT_TRUE(proxy->tokenForConfiguration(configuration("linger")));
  const auto started = std::chrono::steady_clock::now();
  proxy.reset();
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, ExtensionProxy::closingGrace);
  EXPECT_LT(waited, std::chrono::seconds(10));
  ASSERT_EQ(pids().size(), 1U);
  EXPECT_EQ(::kill(pids().front(), 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST_F(ExtensionProxyTest, AnExecutableThatCannotStartIsACommunicationError) {
  ExtensionProxy proxy(directory.path() / "missing");
  EXPECT_EQ(proxy.tokenForConfiguration(configuration("good")).error(), Error(ErrorCode::communicationError));
  const auto notExecutable = directory.write("plain-file", "not a program");
  ExtensionProxy another(notExecutable);
  EXPECT_EQ(another.tokenForConfiguration(configuration("good")).error(), Error(ErrorCode::communicationError));
}

// A configuration that does not fit a message never reaches the extension.
TEST_F(ExtensionProxyTest, AConfigurationTooLargeForAMessageIsABadParameter) {
  ExtensionProxy proxy(TOKENKIT_ROGUE_EXTENSION);
  auto large = configuration("good");
  large.configurationData->resize(maximumExtensionMessageSize, ' ');
  EXPECT_EQ(proxy.tokenForConfiguration(large).error(), Error(ErrorCode::badParameter));
  EXPECT_TRUE(pids().empty());
}

}  // namespace
}  // namespace platform::tokenkit

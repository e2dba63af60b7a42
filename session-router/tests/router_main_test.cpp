#include "session-router/router_main.hpp"

#include "platform/codesign/testing/fake_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using platform::codesign::testing::FakeCodeSigning;

constexpr auto eventually = 30s;
constexpr char team[] = "TEAMABCDE1";

bool answers(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::vector<std::string> socketsIn(const std::filesystem::path& directory) {
  std::vector<std::string> sockets;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    struct stat status {};
    if (::lstat(entry->path().c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
      sockets.push_back(entry->path().filename().string());
    }
  }
  return sockets;
}

// The router in a child process (its run loop never returns), with the test's identity and paths.
// The child is forked before it makes any thread.
pid_t startRouter(const RouterPaths& paths, std::optional<platform::codesign::CodeIdentity> self) {
  const pid_t child = ::fork();
  if (child == 0) {
    const auto codeSigning = std::make_shared<FakeCodeSigning>(std::move(self));
    ::_exit(routerMain(paths, codeSigning));
  }
  return child;
}

TEST(RouterStartUp, ExitStatusesAndNoSocketWhereTheRouterDidNotStart) {
  const struct {
    bool marker;
    bool teamReadable;
    bool listenerFails;
    int status;  // -1: runs
  } rows[] = {
      {true, true, false, routerExitInstalling},      {true, false, false, routerExitInstalling},
      {true, true, true, routerExitInstalling},       {true, false, true, routerExitInstalling},
      {false, false, false, routerExitConfiguration}, {false, false, true, routerExitConfiguration},
      {false, true, true, routerExitConfiguration},   {false, true, false, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "marker " << row.marker << ", team " << row.teamReadable << ", listener fails "
                                      << row.listenerFails);
    platform::foundation::testing::TemporaryDirectory temporary("/tmp");
    const auto runtime = temporary.path() / "run";
    const RouterPaths paths{temporary.path() / "installing", runtime};
    if (row.marker) std::ofstream(paths.installationMarker) << "";
    const auto owner = runtime / TokenPeerIdentity::registrationServiceName(team);
    const auto token = runtime / TokenPeerIdentity::directoryServiceName(team);
    if (row.listenerFails) {
      // Something that is no socket where the second listener goes: the first was already made
      // and must not be left behind.
      std::filesystem::create_directory(runtime);
      std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
      std::filesystem::create_directory(token);
    }
    std::optional<platform::codesign::CodeIdentity> self;
    if (row.teamReadable) self = FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::routerID), team);

    const pid_t router = startRouter(paths, self);
    ASSERT_GT(router, 0);
    int status = 0;
    if (row.status >= 0) {
      ASSERT_EQ(::waitpid(router, &status, 0), router);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), row.status);
      EXPECT_EQ(socketsIn(runtime), std::vector<std::string>{});
      // Nothing at all before the team identifier was read.
      if (row.marker || !row.teamReadable) {
        EXPECT_EQ(std::filesystem::exists(runtime), row.listenerFails);
      }
      continue;
    }
    const auto deadline = std::chrono::steady_clock::now() + eventually;
    while (!(answers(owner) && answers(token)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(answers(owner) && answers(token));
    EXPECT_EQ(::waitpid(router, &status, WNOHANG), 0);  // still running
    ::kill(router, SIGKILL);
    ASSERT_EQ(::waitpid(router, &status, 0), router);
  }
}

TEST(RouterStartUp, AnUnusableRuntimeDirectoryEndsTheRouterAsAListenerThatCannotBeSetUp) {
  platform::foundation::testing::TemporaryDirectory temporary("/tmp");
  const auto notADirectory = temporary.write("run", "");
  const pid_t router = startRouter(RouterPaths{temporary.path() / "installing", notADirectory},
                                   FakeCodeSigning::signedAs(std::string(TokenPeerIdentity::routerID), team));
  int status = 0;
  ASSERT_EQ(::waitpid(router, &status, 0), router);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), routerExitConfiguration);
}

}  // namespace
}  // namespace corvanta

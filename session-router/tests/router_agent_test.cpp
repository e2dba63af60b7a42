// The router program started through the service management layer, with peers in processes of
// their own: the app's identity (router_owner_peer), a stranger's (router_stranger_peer), and the
// extension's, which this test program carries. In private system places the program is
// CorvantaSessionRouter itself, from a bundle laid out as the package installs it; without them,
// the test build of the same entry, told the test's places by its arguments.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/servicemanagement/agent_registry.hpp"
#include "platform/servicemanagement/app_service.hpp"
#include "platform/servicemanagement/on_demand_launcher.hpp"
#include "platform/servicemanagement/testing/running_processes.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "session-router/router_main.hpp"
#include "session-router/tests/private_system_places.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"
#include "token-support/token_update_state.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvanta {
namespace {

using namespace std::chrono_literals;
namespace sm = platform::servicemanagement;
namespace xpc = platform::xpc;
using platform::foundation::UniqueFd;

constexpr auto eventually = 30s;
const std::string team = CORVANTA_TEAM_ID;
const std::string agentName = "SessionRouter.plist";

template <typename Condition>
bool waitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + eventually;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Whether a listener answers at the path.
bool answers(const std::filesystem::path& path) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
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

// A program with its standard input and output on pipes to the test, with the test's environment
// or the one given.
class PeerProcess {
public:
  explicit PeerProcess(const std::vector<std::string>& arguments,
                       std::optional<std::vector<std::string>> environment = std::nullopt) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    input_.reset(input[1]);
    output_.reset(output[0]);
    const UniqueFd childInput(input[0]);
    const UniqueFd childOutput(output[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (auto& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + arguments[0]);
  }
  ~PeerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  std::string readLine() {
    const auto deadline = std::chrono::steady_clock::now() + eventually;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        auto line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      pollfd entry{output_.get(), POLLIN, 0};
      if (::poll(&entry, 1, 1000) <= 0) continue;
      char chunk[256];
      const ssize_t count = ::read(output_.get(), chunk, sizeof chunk);
      if (count <= 0) return "(closed)";
      buffer_.append(chunk, static_cast<std::size_t>(count));
    }
    return "(no line)";
  }
  void closeInput() { input_.reset(); }
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

private:
  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
  std::string buffer_;
};

// The first outcome of one call.
class Outcome {
public:
  void set(std::string text) {
    std::lock_guard lock(mutex_);
    if (!text_) text_ = std::move(text);
    changed_.notify_all();
  }
  std::string wait() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, eventually, [&] { return text_.has_value(); });
    return text_.value_or("timeout");
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::string> text_;
};

class RouterAgent : public ::testing::Test {
protected:
  void SetUp() override {
    if (privatePlaces_) {
      installBundle();
      paths_.runtimeDirectory = xpc::RuntimeDirectory::forCurrentUser().path();
      marker_ = TokenUpdateState::installationMarkerPath;
      routerProgram_ = paths_.bundle / "Contents/MacOS/CorvantaSessionRouter";
      routerStart_ = {routerProgram_.string()};
    } else {
      paths_.runtimeDirectory = temporary_.path() / "run";
      marker_ = temporary_.path() / "installing";
      routerProgram_ = ROUTER_TEST_AGENT;
      routerStart_ = {routerProgram_.string(), marker_.string(), paths_.runtimeDirectory.string()};
      writeTestPropertyList();
    }
    options_.clock = clock_;
    options_.throttle = 10s;
    xpc::ContextOptions contextOptions;
    contextOptions.verifier =
        std::make_shared<CodeSigningPeerVerifier>(std::make_shared<const platform::codesign::SystemCodeSigning>());
    contextOptions.launcher = std::make_shared<sm::OnDemandLauncher>(paths_.stateDirectory, options_);
    // Only a router that does not come up at all runs out this wait: no test waits for it.
    contextOptions.launchWait = std::chrono::duration_cast<std::chrono::milliseconds>(eventually);
    context_.emplace(xpc::RuntimeDirectory::at(paths_.runtimeDirectory.string()), std::move(contextOptions));
  }

  void TearDown() override {
    agent().unregister(nullptr);
    for (const pid_t pid : runningRouters()) ::kill(pid, SIGKILL);
    context_.reset();
    outcomes_.clear();
    // The private places are the process's, shared by the tests it runs one after another.
    if (privatePlaces_) {
      std::error_code ignored;
      std::filesystem::remove(marker_, ignored);
      clearRuntimeDirectory();
    }
  }

  void clearRuntimeDirectory() const {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(paths_.runtimeDirectory, error), end; !error && entry != end;
         entry.increment(error)) {
      std::error_code ignored;
      std::filesystem::remove_all(entry->path(), ignored);
    }
  }

  // The router's part of the bundle, laid out as the package installs it: the program and the
  // agent's property list of the build, which names the program inside the bundle.
  void installBundle() const {
    const auto programs = paths_.bundle / "Contents/MacOS";
    std::filesystem::create_directories(programs);
    std::filesystem::create_directories(paths_.launchAgentsDirectory());
    std::filesystem::copy_file(ROUTER_PROGRAM, programs / "CorvantaSessionRouter");
    std::filesystem::copy_file(ROUTER_PROPERTY_LIST, paths_.launchAgentsDirectory() / agentName);
  }

  void writeTestPropertyList() const {
    std::filesystem::create_directories(paths_.launchAgentsDirectory());
    std::ofstream(paths_.launchAgentsDirectory() / agentName)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>Label</key><string>ro.corvanta.sign.development.SessionRouter</string>"
           "<key>Program</key><string>" ROUTER_TEST_AGENT "</string>"
           "<key>ProgramArguments</key><array><string>CorvantaSessionRouter</string><string>"
        << marker_.string() << "</string><string>" << paths_.runtimeDirectory.string()
        << "</string></array><key>MachServices</key><dict><key>" << TokenPeerIdentity::registrationServiceName(team)
        << "</key><true/><key>" << TokenPeerIdentity::directoryServiceName(team) << "</key><true/></dict></dict></plist>";
  }

  sm::AppService agent() const { return sm::AppService::agent(paths_, agentName, options_); }

  std::optional<sm::AgentInstance> recordedRouter() const {
    const auto record = sm::AgentRegistry(paths_.stateDirectory, options_).read(agentName);
    if (!record) return std::nullopt;
    return record->instance;
  }

  // The routers of this test that run now (not merely unreaped), found by their arguments: only
  // they are given the program in this test's bundle (which is their first argument) or this
  // test's marker.
  std::vector<pid_t> runningRouters() const {
    return sm::testing::runningProcessesWithArgument(privatePlaces_ ? routerProgram_.string() : marker_.string());
  }

  Outcome& outcome() { return outcomes_.emplace_back(); }

  // The extension's part: the endpoint the directory service gives, as "endpoint PATH" or
  // "none"; "refused" when the service cannot be reached.
  std::string lookUp() {
    Outcome& result = outcome();
    auto connection = xpc::Connection::toService(*context_, TokenPeerIdentity::directoryServiceName(team));
    connection->setCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::routerID));
    connection->setRemoteInterface(TokenEndpointDirectoryProtocol::interface());
    connection->setInvalidationHandler([&result] { result.set("refused"); });
    connection->setInterruptionHandler([&result] { result.set("refused"); });
    connection->resume();
    connection->send(
        std::string(TokenEndpointDirectoryProtocol::ownerEndpointSelector), {},
        [&result](xpc::Values reply) {
          const auto* endpoint = std::get_if<xpc::Endpoint>(&reply[0]);
          result.set(endpoint ? "endpoint " + endpoint->socketPath : "none");
        },
        [&result](xpc::Error) { result.set("refused"); });
    auto text = result.wait();
    connection->invalidate();
    return text;
  }

  // The registration service, called by this program (which is not the app).
  std::string registerHere() {
    Outcome& result = outcome();
    auto connection = xpc::Connection::toService(*context_, TokenPeerIdentity::registrationServiceName(team));
    connection->setRemoteInterface(TokenOwnerRegistrationProtocol::interface());
    connection->setInvalidationHandler([&result] { result.set("refused"); });
    connection->setInterruptionHandler([&result] { result.set("refused"); });
    connection->resume();
    connection->send(
        std::string(TokenOwnerRegistrationProtocol::registerOwnerSelector),
        {xpc::Endpoint{(paths_.runtimeDirectory / "anonymous-0123456789abcdef01234567").string()}},
        [&result](xpc::Values reply) { result.set(std::get<bool>(reply[0]) ? "registered true" : "registered false"); },
        [&result](xpc::Error) { result.set("refused"); });
    auto text = result.wait();
    connection->invalidate();
    return text;
  }

  // The sign call the extension makes to the app's endpoint.
  std::string callOwner(const std::string& socketPath) {
    Outcome& result = outcome();
    auto connection = xpc::Connection::toEndpoint(*context_, xpc::Endpoint{socketPath});
    connection->setCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::ownerID));
    connection->setRemoteInterface(TokenSessionOwnerProtocol::interface());
    connection->setInvalidationHandler([&result] { result.set("refused"); });
    connection->resume();
    connection->send(
        std::string(TokenSessionOwnerProtocol::signSelector), {platform::Bytes{'-', 'd'}, std::string("123456")},
        [&result](xpc::Values reply) {
          const auto* signature = std::get_if<platform::Bytes>(&reply[0]);
          result.set((signature ? std::string(signature->begin(), signature->end()) : "(none)") + " status " +
                     std::to_string(std::get<std::int64_t>(reply[1])));
        },
        [&result](xpc::Error) { result.set("refused"); });
    auto text = result.wait();
    connection->invalidate();
    return text;
  }

  const bool privatePlaces_ = corvanta::testing::havePrivateSystemPlaces();
  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  // The runtime directory is set up with the router.
  sm::ServicePaths paths_{temporary_.path() / "Corvanta Sign.app", temporary_.path() / "state", {}};
  std::filesystem::path marker_;
  std::filesystem::path routerProgram_;
  // How a router is started by hand.
  std::vector<std::string> routerStart_;
  platform::runtime::testing::ManualClock clock_;
  sm::AgentOptions options_;
  std::deque<Outcome> outcomes_;
  std::optional<xpc::Context> context_;
};

TEST_F(RouterAgent, TheAppRegistersTheExtensionFindsAndCallsItAndTheEndpointGoesWithTheApp) {
  agent().registerService();
  EXPECT_EQ(agent().status(), sm::ServiceStatus::enabled);
  ASSERT_EQ(lookUp(), "none");

  PeerProcess owner({ROUTER_OWNER_PEER, "register", paths_.runtimeDirectory.string()});
  ASSERT_EQ(owner.readLine(), "registered true");
  const auto found = lookUp();
  ASSERT_EQ(found.rfind("endpoint ", 0), 0u) << found;
  EXPECT_EQ(callOwner(found.substr(9)), "123456-d status 0");

  // The slot stays with the first app while it is connected.
  PeerProcess second({ROUTER_OWNER_PEER, "register", paths_.runtimeDirectory.string()});
  EXPECT_EQ(second.readLine(), "registered false");
  second.closeInput();
  EXPECT_EQ(second.wait(), 0);
  EXPECT_EQ(lookUp(), found);

  owner.closeInput();
  EXPECT_EQ(owner.wait(), 0);
  EXPECT_TRUE(waitUntil([&] { return lookUp() == "none"; }));
}

TEST_F(RouterAgent, EachServiceRefusesEveryPeerButItsOne) {
  agent().registerService();
  ASSERT_EQ(lookUp(), "none");
  const struct {
    const char* name;
    const char* program;
    const char* mode;
  } rows[] = {
      {"stranger registering", ROUTER_STRANGER_PEER, "register"},
      {"stranger looking up", ROUTER_STRANGER_PEER, "lookup"},
      {"app looking up", ROUTER_OWNER_PEER, "lookup"},
  };
  for (const auto& row : rows) {
    PeerProcess peer({row.program, row.mode, paths_.runtimeDirectory.string()});
    EXPECT_EQ(peer.readLine(), "refused") << row.name;
    peer.closeInput();
    peer.wait();
  }
  EXPECT_EQ(registerHere(), "refused") << "extension registering";
  // The refused registrations were never read: nothing is registered.
  EXPECT_EQ(lookUp(), "none");
  // The router itself lives on.
  ASSERT_TRUE(recordedRouter());
  EXPECT_TRUE(sm::isRunning(*recordedRouter()));
}

TEST_F(RouterAgent, AKilledRouterIsStartedByTheNextConnectionAndAnUnregisteredOneByNone) {
  agent().registerService();
  ASSERT_EQ(lookUp(), "none");
  const auto first = recordedRouter();
  ASSERT_TRUE(first);
  ::kill(first->pid, SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return !sm::isRunning(*first); }));

  // Started less than the throttle ago: not again yet.
  EXPECT_EQ(lookUp(), "refused");
  clock_.advance(10s);
  EXPECT_EQ(lookUp(), "none");
  const auto second = recordedRouter();
  ASSERT_TRUE(second);
  EXPECT_NE(second->pid, first->pid);
  EXPECT_TRUE(sm::isRunning(*second));
  EXPECT_EQ(runningRouters().size(), 1u);

  std::optional<sm::ServiceManagementError> failure;
  agent().unregister([&](std::optional<sm::ServiceManagementError> error) { failure = std::move(error); });
  EXPECT_FALSE(failure);
  EXPECT_FALSE(sm::isRunning(*second));
  EXPECT_EQ(agent().status(), sm::ServiceStatus::notRegistered);
  clock_.advance(1h);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(lookUp(), "refused");
  // At once, long before the launch wait would be over: the name is no longer served.
  EXPECT_LT(std::chrono::steady_clock::now() - started, eventually / 3);
  EXPECT_TRUE(runningRouters().empty());
  for (const auto& name : {TokenPeerIdentity::registrationServiceName(team), TokenPeerIdentity::directoryServiceName(team)}) {
    EXPECT_FALSE(std::filesystem::exists(paths_.runtimeDirectory / name)) << name;
  }
}

TEST_F(RouterAgent, TwoRegistrationsAtOnceStartOneRouter) {
  std::thread other([&] { agent().registerService(); });
  agent().registerService();
  other.join();
  // A second router would either still run or, having found the first, have ended; the record
  // holds the last one started.
  const auto recorded = recordedRouter();
  ASSERT_TRUE(recorded);
  EXPECT_EQ(runningRouters(), std::vector<pid_t>{recorded->pid});
  EXPECT_EQ(lookUp(), "none");
}

TEST_F(RouterAgent, AStaleSocketIsReplacedButALiveRoutersIsNot) {
  // Socket files left by a router that is gone: nothing accepts on them.
  const auto owner = paths_.runtimeDirectory / TokenPeerIdentity::registrationServiceName(team);
  const auto token = paths_.runtimeDirectory / TokenPeerIdentity::directoryServiceName(team);
  for (const auto& path : {owner, token}) {
    const UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  agent().registerService();
  EXPECT_EQ(lookUp(), "none");
  PeerProcess app({ROUTER_OWNER_PEER, "register", paths_.runtimeDirectory.string()});
  ASSERT_EQ(app.readLine(), "registered true");

  struct stat before {};
  ASSERT_EQ(::lstat(token.c_str(), &before), 0);
  // A second router, as a start by hand would make it, finds the first one answering.
  PeerProcess secondRouter(routerStart_);
  const int status = secondRouter.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), routerExitConfiguration);
  struct stat after {};
  ASSERT_EQ(::lstat(token.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(lookUp().rfind("endpoint ", 0), 0u);
  EXPECT_EQ(runningRouters().size(), 1u);
}

// What the program reads is fixed in it: started by hand with arguments and an environment that
// name other places, it still stops at the system's installation marker and otherwise serves the
// user's runtime directory, and puts nothing where they point.
TEST_F(RouterAgent, TheProgramFindsItsPlacesItselfWhateverItsArgumentsAndEnvironmentSay) {
  if (!privatePlaces_) GTEST_SKIP() << "the system gives this test no mount namespace of its own";
  const auto elsewhere = temporary_.path() / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  std::filesystem::permissions(elsewhere, std::filesystem::perms::owner_all);
  std::vector<std::string> misleadingArguments = routerStart_;
  for (const auto* argument : {"--runtime-directory", elsewhere.c_str(), "--installation-marker", "/nonexistent"}) {
    misleadingArguments.emplace_back(argument);
  }
  const std::vector<std::string> misleadingEnvironment{"XDG_RUNTIME_DIR=" + elsewhere.string(),
                                                       "TMPDIR=" + elsewhere.string(), "HOME=" + elsewhere.string()};
  const struct {
    bool marker;
    bool misleading;
  } rows[] = {{true, false}, {true, true}, {false, false}, {false, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "marker " << row.marker << ", misleading " << row.misleading);
    if (row.marker) std::ofstream(marker_) << "";
    PeerProcess router(row.misleading ? misleadingArguments : routerStart_,
                       row.misleading ? std::optional(misleadingEnvironment) : std::nullopt);
    if (row.marker) {
      const int status = router.wait();
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), routerExitInstalling);
      EXPECT_EQ(socketsIn(paths_.runtimeDirectory), std::vector<std::string>{});
    } else {
      // Not registered: the connection cannot start it, so it is waited for here.
      const auto token = paths_.runtimeDirectory / TokenPeerIdentity::directoryServiceName(team);
      ASSERT_TRUE(waitUntil([&] { return answers(token); }));
      EXPECT_EQ(lookUp(), "none");
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    std::error_code ignored;
    std::filesystem::remove(marker_, ignored);
    clearRuntimeDirectory();
  }
}

}  // namespace
}  // namespace corvanta

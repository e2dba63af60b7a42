// The router program started through the service management layer, with peers in processes of
// their own: the app's identity (router_owner_peer), a stranger's (router_stranger_peer), and the
// extension's, which this test program carries.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/servicemanagement/agent_registry.hpp"
#include "platform/servicemanagement/app_service.hpp"
#include "platform/servicemanagement/on_demand_launcher.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "session-router/router_main.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"

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

// A program with its standard input and output on pipes to the test.
class PeerProcess {
public:
  explicit PeerProcess(const std::vector<std::string>& arguments) {
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
    const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
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
    writePropertyList();
    options_.clock = clock_;
    options_.throttle = 10s;
    xpc::ContextOptions contextOptions;
    contextOptions.verifier =
        std::make_shared<CodeSigningPeerVerifier>(std::make_shared<const platform::codesign::SystemCodeSigning>());
    contextOptions.launcher = std::make_shared<sm::OnDemandLauncher>(paths_.stateDirectory, options_);
    context_.emplace(xpc::RuntimeDirectory::at(paths_.runtimeDirectory.string()), std::move(contextOptions));
  }

  void TearDown() override {
    agent().unregister(nullptr);
    for (const pid_t pid : runningRouters()) ::kill(pid, SIGKILL);
    context_.reset();
    outcomes_.clear();
  }

  void writePropertyList() {
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
  // they are given the marker's path.
  std::vector<pid_t> runningRouters() const {
    std::vector<pid_t> pids;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
      const auto name = entry->path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream cmdline(entry->path() / "cmdline");
      const std::string arguments((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
      if (arguments.find(marker_.string()) == std::string::npos) continue;
      std::ifstream stat(entry->path() / "stat");
      const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const auto close = line.rfind(')');
      if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z') continue;
      pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
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

  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  sm::ServicePaths paths_{temporary_.path() / "Corvanta Sign.app", temporary_.path() / "state",
                          temporary_.path() / "run"};
  std::filesystem::path marker_ = temporary_.path() / "installing";
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
  // At once, not after the launch wait: the name is no longer served.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(runningRouters().empty());
  for (const auto& name : {TokenPeerIdentity::registrationServiceName(team), TokenPeerIdentity::directoryServiceName(team)}) {
    EXPECT_FALSE(std::filesystem::exists(paths_.runtimeDirectory / name)) << name;
  }
}

TEST_F(RouterAgent, TwoRegistrationsAtOnceStartOneRouter) {
  std::thread other([&] { agent().registerService(); });
  agent().registerService();
  other.join();
  EXPECT_EQ(runningRouters().size(), 1u);
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
  PeerProcess secondRouter({ROUTER_TEST_AGENT, marker_.string(), paths_.runtimeDirectory.string()});
  const int status = secondRouter.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), routerExitConfiguration);
  struct stat after {};
  ASSERT_EQ(::lstat(token.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(lookUp().rfind("endpoint ", 0), 0u);
  EXPECT_EQ(runningRouters().size(), 1u);
}

}  // namespace
}  // namespace corvanta

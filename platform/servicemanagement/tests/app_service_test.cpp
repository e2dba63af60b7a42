#include "platform/servicemanagement/app_service.hpp"

#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/servicemanagement/on_demand_launcher.hpp"
#include "platform/servicemanagement/tests/agent_test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

namespace platform::servicemanagement {
namespace {

using namespace std::chrono_literals;
using Case = ServiceManagementError::Case;
using testing::eventually;
using testing::processHasEnded;
using testing::waitUntil;

class AppServiceTest : public testing::AgentFixture {
protected:
  AppService agent(AgentOptions options = {}) const { return AppService::agent(paths_, "Agent.plist", options); }

  static std::optional<ServiceManagementError> unregister(const AppService& service) {
    int calls = 0;
    std::optional<ServiceManagementError> result;
    service.unregister([&](std::optional<ServiceManagementError> error) {
      ++calls;
      result = std::move(error);
    });
    EXPECT_EQ(calls, 1);
    return result;
  }
};

TEST_F(AppServiceTest, StatusFollowsThePropertyListAndTheRegistration) {
  const auto service = agent();
  EXPECT_EQ(service.status(), ServiceStatus::notFound);
  try {
    service.registerService();
    ADD_FAILURE() << "registered without a property list";
  } catch (const ServiceManagementError& error) {
    EXPECT_EQ(error.which(), Case::notFound);
  }
  EXPECT_EQ(service.status(), ServiceStatus::notFound);

  writePropertyList("serve");
  EXPECT_EQ(service.status(), ServiceStatus::notRegistered);
  service.registerService();
  EXPECT_EQ(service.status(), ServiceStatus::enabled);
  // Registering again renews the record and starts nothing.
  service.registerService();
  EXPECT_EQ(service.status(), ServiceStatus::enabled);
  EXPECT_EQ(runningAgents().size(), 1u);

  EXPECT_EQ(unregister(service), std::nullopt);
  EXPECT_EQ(service.status(), ServiceStatus::notRegistered);
  const auto again = unregister(service);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->which(), Case::notRegistered);
  // Another name of the same bundle is its own agent.
  EXPECT_EQ(AppService::agent(paths_, "Other.plist").status(), ServiceStatus::notFound);
  EXPECT_EQ(AppService::agent(paths_, "../Agent.plist").status(), ServiceStatus::notFound);
}

TEST_F(AppServiceTest, TheAgentRunsDetachedWithNothingOfTheRegisteringProcess) {
  writePropertyList("serve");
  // What the caller holds that a child would inherit: a descriptor without close-on-exec, an
  // ignored signal and a blocked one.
  const int inherited = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inherited, 0);
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGUSR2, &ignore, &previous);
  sigset_t blocked;
  sigset_t previousMask;
  ::sigemptyset(&blocked);
  ::sigaddset(&blocked, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

  agent().registerService();

  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGUSR2, &previous, nullptr);
  ::close(inherited);

  ASSERT_TRUE(waitForLogLines(1));
  auto line = logLines().front();
  EXPECT_NE(line["ppid"], std::to_string(::getpid()));
  EXPECT_NE(line["sid"], std::to_string(::getsid(0)));
  EXPECT_EQ(line["env"], "0");
  EXPECT_EQ(line["fds"], "0,1,2");
  EXPECT_EQ(line["cwd"], "/");
  EXPECT_EQ(line["stdin"], "/dev/null");
  EXPECT_EQ(line["stdout"], "/dev/null");
  EXPECT_EQ(line["stderr"], "/dev/null");
  EXPECT_EQ(line["blocked"], "0");
  EXPECT_EQ(line["ignored"], "0");
  EXPECT_EQ(line["args"], std::to_string(3 + testing::serviceNames.size()));
  EXPECT_TRUE(waitUntil([&] { return servicesAnswer(); }));
}

TEST_F(AppServiceTest, RegistrationsAtOnceStartOneAgent) {
  writePropertyList("serve");
  constexpr int count = 6;
  std::size_t started = 0;
  for (const bool processes : {false, true}) {
    SCOPED_TRACE(processes ? "processes" : "threads");
    if (processes) {
      std::vector<pid_t> children;
      for (int i = 0; i < count; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
          try {
            agent().registerService();
          } catch (...) {
            ::_exit(1);
          }
          ::_exit(0);
        }
        children.push_back(child);
      }
      for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }
    } else {
      std::atomic<int> failures = 0;
      std::vector<std::thread> threads;
      for (int i = 0; i < count; ++i) {
        threads.emplace_back([&] {
          try {
            agent().registerService();
          } catch (...) {
            ++failures;
          }
        });
      }
      for (auto& thread : threads) thread.join();
      EXPECT_EQ(failures, 0);
    }
    EXPECT_EQ(runningAgents().size(), 1u);
    // Each agent logs its start: one more in this round, however soon a second would have ended.
    ++started;
    ASSERT_TRUE(waitForLogLines(started));
    EXPECT_EQ(logLines().size(), started);
    EXPECT_EQ(agent().status(), ServiceStatus::enabled);
    EXPECT_EQ(unregister(agent()), std::nullopt);
    EXPECT_TRUE(runningAgents().empty());
  }
}

TEST_F(AppServiceTest, UnregisteringStopsTheAgentAndRemovesItsSockets) {
  writePropertyList("serve");
  agent().registerService();
  ASSERT_TRUE(waitUntil([&] { return servicesAnswer(); }));
  EXPECT_EQ(unregister(agent()), std::nullopt);
  // Stopped before unregister returned.
  EXPECT_TRUE(runningAgents().empty());
  for (const auto& name : testing::serviceNames) {
    EXPECT_FALSE(std::filesystem::exists(paths_.runtimeDirectory / name)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(paths_.stateDirectory / "Agent.plist.agent"));
}

TEST_F(AppServiceTest, AnAgentThatIgnoresTheRequestToEndIsKilledAfterTheStopLimit) {
  writePropertyList("stubborn");
  AgentOptions options;
  options.stopLimit = 200ms;
  agent(options).registerService();
  ASSERT_TRUE(waitUntil([&] { return servicesAnswer(); }));  // SIGTERM is ignored by then
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(unregister(agent(options)), std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 10s);
  EXPECT_TRUE(runningAgents().empty());
}

TEST_F(AppServiceTest, AnAgentThatCannotBeStartedIsNotRegistered) {
  writePropertyList("serve", temporary_.path() / "missing-program");
  try {
    agent().registerService();
    ADD_FAILURE() << "registered";
  } catch (const ServiceManagementError& error) {
    EXPECT_EQ(error.which(), Case::launchFailed);
  }
  EXPECT_EQ(agent().status(), ServiceStatus::notRegistered);
}

TEST_F(AppServiceTest, AConnectionStartsARegisteredAgentThatIsNotRunningOnceTheThrottleHasPassed) {
  writePropertyList("serve");
  runtime::testing::ManualClock clock;
  AgentOptions options;
  options.clock = clock;
  options.throttle = 10s;
  OnDemandLauncher launcher(paths_.stateDirectory, options);
  const auto& service = testing::serviceNames.front();

  EXPECT_FALSE(launcher.launch(service));  // not registered
  EXPECT_TRUE(runningAgents().empty());
  agent(options).registerService();
  ASSERT_TRUE(waitForRunningAgents(1));
  EXPECT_TRUE(launcher.launch(service));  // running: nothing started
  EXPECT_FALSE(launcher.launch("T.ro.example.Other"));
  EXPECT_EQ(runningAgents().size(), 1u);

  const pid_t killed = runningAgents().front();
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(waitForRunningAgents(0));
  ASSERT_TRUE(waitUntil([&] { return processHasEnded(killed); }));
  // Started at registration less than the throttle ago: not again yet.
  clock.advance(9s);
  EXPECT_FALSE(launcher.launch(service));
  EXPECT_TRUE(runningAgents().empty());
  clock.advance(1s);
  EXPECT_TRUE(launcher.launch(testing::serviceNames.back()));
  EXPECT_EQ(runningAgents().size(), 1u);
  EXPECT_TRUE(launcher.launch(service));
  EXPECT_EQ(runningAgents().size(), 1u);

  EXPECT_EQ(unregister(agent(options)), std::nullopt);
  clock.advance(1h);
  EXPECT_FALSE(launcher.launch(service));
  EXPECT_TRUE(runningAgents().empty());
  EXPECT_FALSE(launcher.launch("../escape"));
}

TEST_F(AppServiceTest, AnAgentThatExitsAtOnceIsStartedAgainOnlyAfterTheThrottle) {
  writePropertyList("exit");
  runtime::testing::ManualClock clock;
  AgentOptions options;
  options.clock = clock;
  options.throttle = 10s;
  OnDemandLauncher launcher(paths_.stateDirectory, options);
  agent(options).registerService();
  ASSERT_TRUE(waitForLogLines(1));
  ASSERT_TRUE(waitForLoggedAgentsToEnd());
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(launcher.launch(testing::serviceNames.front()));
  clock.advance(10s);
  EXPECT_TRUE(launcher.launch(testing::serviceNames.front()));
  ASSERT_TRUE(waitForLogLines(2));
  ASSERT_TRUE(waitForLoggedAgentsToEnd());
  EXPECT_FALSE(launcher.launch(testing::serviceNames.front()));
  EXPECT_EQ(logLines().size(), 2u);
}

}  // namespace
}  // namespace platform::servicemanagement

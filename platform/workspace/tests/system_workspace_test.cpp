#include "platform/workspace/system_workspace.hpp"

#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace platform::workspace {
namespace {

using Kind = WorkspaceEvent::Kind;
using runtime::testing::runUntil;

// Stands in for the display: the test says which process is in front and reports activations
// from a thread of its own, as the display's reader does.
class ScriptedSource final : public FrontmostProcessSource {
public:
  explicit ScriptedSource(Activated activated) : activated_(std::move(activated)) {}

  std::optional<pid_t> frontmostProcess() const override {
    const auto pid = frontmost_.load();
    if (pid <= 0) return std::nullopt;
    return pid;
  }

  void activateFromAnotherThread(pid_t pid) {
    frontmost_ = pid;
    std::thread([this, pid] { activated_(pid); }).join();
  }

private:
  Activated activated_;
  std::atomic<pid_t> frontmost_{0};
};

struct ScriptedDisplay {
  ScriptedSource* source = nullptr;

  FrontmostProcessSource::Opener opener() {
    return [this](FrontmostProcessSource::Activated activated) {
      auto made = std::make_unique<ScriptedSource>(std::move(activated));
      source = made.get();
      return made;
    };
  }
};

// Stands in for the login manager: the test reports its events from a thread of its own, as the
// bus's listener does.
class ScriptedSessionEvents final : public SessionEventSource {
public:
  explicit ScriptedSessionEvents(Reported reported) : reported_(std::move(reported)) {}

  void reportFromAnotherThread(Kind kind) {
    std::thread([this, kind] { reported_(kind); }).join();
  }

private:
  Reported reported_;
};

struct ScriptedSession {
  ScriptedSessionEvents* source = nullptr;

  SessionEventSource::Opener opener() {
    return [this](SessionEventSource::Reported reported) {
      auto made = std::make_unique<ScriptedSessionEvents>(std::move(reported));
      source = made.get();
      return made;
    };
  }
};

FrontmostProcessSource::Opener noDisplay() {
  return [](FrontmostProcessSource::Activated) { return std::unique_ptr<FrontmostProcessSource>(); };
}

std::string thisExecutableName() { return std::filesystem::read_symlink("/proc/self/exe").filename().string(); }

pid_t exitedChild() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

TEST(SystemWorkspace, WithoutADisplayNothingIsInFrontButProcessesAreStillFound) {
  boost::asio::io_context main;
  SystemWorkspace workspace(main.get_executor(), noDisplay());
  EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
  const auto self = workspace.runningApplication(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->bundleIdentifier, thisExecutableName());
  EXPECT_EQ(workspace.runningApplication(exitedChild()), std::nullopt);
}

TEST(SystemWorkspace, TheFrontmostApplicationIsTheProcessTheDisplayNames) {
  boost::asio::io_context main;
  ScriptedDisplay display;
  SystemWorkspace workspace(main.get_executor(), display.opener());
  ASSERT_NE(display.source, nullptr);
  EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);

  display.source->activateFromAnotherThread(::getpid());
  const auto front = workspace.frontmostApplication();
  ASSERT_TRUE(front.has_value());
  EXPECT_EQ(front->processIdentifier, ::getpid());
  EXPECT_EQ(front->bundleIdentifier, thisExecutableName());

  // A window whose process has quit names no application.
  display.source->activateFromAnotherThread(exitedChild());
  EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);
}

TEST(SystemWorkspace, ActivationsReportedOnTheDisplaysThreadReachObserversOnTheMainExecutor) {
  boost::asio::io_context main;
  ScriptedDisplay display;
  SystemWorkspace workspace(main.get_executor(), display.opener());
  std::vector<WorkspaceEvent> heard;
  std::vector<bool> onMain;
  workspace.addObserver([&](const WorkspaceEvent& event) {
    heard.push_back(event);
    onMain.push_back(workspace.isOnMainExecutor());
  });
  const auto removed = workspace.addObserver([&](const WorkspaceEvent&) { ADD_FAILURE() << "a removed observer was called"; });
  workspace.removeObserver(removed);

  display.source->activateFromAnotherThread(1234);
  display.source->activateFromAnotherThread(::getpid());
  ASSERT_TRUE(runUntil(main, [&] { return heard.size() == 2; }));

  const std::vector<WorkspaceEvent> expected{{Kind::didActivateApplication, 1234}, {Kind::didActivateApplication, ::getpid()}};
  EXPECT_EQ(heard, expected);
  EXPECT_EQ(onMain, (std::vector<bool>{true, true}));
}

TEST(SystemWorkspace, SessionEventsReportedOnTheSourcesThreadReachObserversOnTheMainExecutorInOrder) {
  boost::asio::io_context main;
  ScriptedDisplay display;
  ScriptedSession session;
  SystemWorkspace workspace(main.get_executor(), display.opener(), session.opener());
  ASSERT_NE(session.source, nullptr);
  std::vector<WorkspaceEvent> heard;
  std::vector<bool> onMain;
  workspace.addObserver([&](const WorkspaceEvent& event) {
    heard.push_back(event);
    onMain.push_back(workspace.isOnMainExecutor());
  });

  const std::vector<Kind> reported{Kind::willSleep, Kind::didWake, Kind::sessionDidResignActive,
                                   Kind::sessionDidBecomeActive};
  session.source->reportFromAnotherThread(reported[0]);
  session.source->reportFromAnotherThread(reported[1]);
  display.source->activateFromAnotherThread(::getpid());
  session.source->reportFromAnotherThread(reported[2]);
  session.source->reportFromAnotherThread(reported[3]);
  ASSERT_TRUE(runUntil(main, [&] { return heard.size() == 5; }));

  const std::vector<WorkspaceEvent> expected{{Kind::willSleep, std::nullopt},
                                             {Kind::didWake, std::nullopt},
                                             {Kind::didActivateApplication, ::getpid()},
                                             {Kind::sessionDidResignActive, std::nullopt},
                                             {Kind::sessionDidBecomeActive, std::nullopt}};
  EXPECT_EQ(heard, expected);
  EXPECT_EQ(onMain, std::vector<bool>(5, true));
}

TEST(SystemWorkspace, ActivationsStillOnTheirWayWhenTheWorkspaceGoesAreDropped) {
  boost::asio::io_context main;
  int heard = 0;
  {
    ScriptedDisplay display;
    SystemWorkspace workspace(main.get_executor(), display.opener());
    workspace.addObserver([&](const WorkspaceEvent&) { ++heard; });
    display.source->activateFromAnotherThread(::getpid());
  }
  main.run();
  EXPECT_EQ(heard, 0);
}

}  // namespace
}  // namespace platform::workspace

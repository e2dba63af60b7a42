#include "token-support/mac_foreground_hint_monitor.hpp"

#include "platform/runtime/testing/run_until.hpp"
#include "platform/workspace/application_identity.hpp"
#include "platform/workspace/testing/fake_workspace.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

using platform::workspace::RunningApplication;
using platform::workspace::WorkspaceEvent;
using platform::workspace::testing::FakeWorkspace;
using Kind = WorkspaceEvent::Kind;

class SetTicks final : public TickSource {
public:
  std::uint64_t now() const override { return now_; }
  Timebase timebase() const override { return Timebase{}; }
  void advanceSeconds(double seconds) { now_ += static_cast<std::uint64_t>(seconds * 1e9); }

private:
  std::uint64_t now_ = 1'000'000'000'000;
};

// Which processes pass their browser's requirement, and every check asked for.
class FakeRequirementCheck {
public:
  std::set<pid_t> passing;
  std::vector<std::pair<pid_t, std::string>> calls;

  MacForegroundHintMonitor::RequirementCheck function() {
    return [this](pid_t pid, std::string_view requirement) {
      calls.emplace_back(pid, std::string(requirement));
      return passing.contains(pid);
    };
  }
};

std::string requirementOf(std::string_view bundleID) {
  for (const auto& browser : MacForegroundHintMonitor::recognizedBrowsers) {
    if (browser.bundleID == bundleID) return std::string(browser.requirement);
  }
  return {};
}

const RunningApplication chromeApp{10, "com.google.Chrome", 500};
const RunningApplication firefoxApp{11, "org.mozilla.firefox", 501};
const RunningApplication editorApp{20, "org.gnome.gedit", 502};
const RunningApplication pinentryApp{30, "org.gnupg.pinentry-gnome3", 503};

const SigningAttribution chrome("com.google.Chrome", true);
const SigningAttribution firefox("org.mozilla.firefox", true);
const SigningAttribution editor("org.gnome.gedit", false);

class ForegroundHintMonitorTest : public ::testing::Test {
protected:
  ForegroundHintMonitorTest() {
    check.passing = {chromeApp.processIdentifier, firefoxApp.processIdentifier};
    workspace.setRunning(chromeApp);
    workspace.setRunning(firefoxApp);
    workspace.setRunning(editorApp);
    workspace.setRunning(pinentryApp);
  }

  // The monitor is used on the main executor only.
  void onMain(const std::function<void()>& action) {
    bool done = false;
    boost::asio::post(main, [&] {
      action();
      done = true;
    });
    ASSERT_TRUE(platform::runtime::testing::runUntil(main, [&] { return done; }));
  }

  // Lets the events sent so far reach the monitor.
  void deliver() { onMain([] {}); }

  SigningAttribution attributionAfter(double seconds) {
    const auto request = TokenClock::now(ticks) + static_cast<std::uint64_t>(seconds * 1e9);
    ticks.advanceSeconds(seconds);
    std::optional<SigningAttribution> result;
    onMain([&] { result = monitor.attribution(request); });
    return result.value();
  }

  std::size_t eventCount() {
    std::size_t count = 0;
    onMain([&] { count = monitor.history().events().size(); });
    return count;
  }

  boost::asio::io_context main;
  FakeWorkspace workspace{main.get_executor()};
  SetTicks ticks;
  FakeRequirementCheck check;
  MacForegroundHintMonitor monitor{workspace, check.function(), ticks};
};

TEST_F(ForegroundHintMonitorTest, StartRecordsTheApplicationInFront) {
  workspace.setFrontmost(chromeApp);
  onMain([&] { monitor.start(); });
  EXPECT_TRUE(monitor.isStarted());
  EXPECT_EQ(attributionAfter(2), chrome);
  EXPECT_EQ(check.calls, (std::vector<std::pair<pid_t, std::string>>{{10, requirementOf("com.google.Chrome")}}));
}

TEST_F(ForegroundHintMonitorTest, RecordsEachActivationWithTheApplicationLookedUpAgain) {
  onMain([&] { monitor.start(); });
  EXPECT_EQ(eventCount(), 1U);

  ticks.advanceSeconds(1);
  workspace.activate(editorApp.processIdentifier);
  deliver();
  EXPECT_EQ(attributionAfter(1), editor);

  workspace.activate(firefoxApp.processIdentifier);
  deliver();
  EXPECT_EQ(attributionAfter(1), firefox);

  // Gone by the time the activation arrives: recorded, but without an identifier.
  workspace.activate(chromeApp.processIdentifier);
  workspace.quit(chromeApp.processIdentifier);
  deliver();
  EXPECT_EQ(attributionAfter(1), SigningAttribution::unknown);
  EXPECT_EQ(eventCount(), 4U);

  // An activation that names no process records nothing.
  ticks.advanceSeconds(1);
  workspace.send(WorkspaceEvent{Kind::didActivateApplication, std::nullopt});
  deliver();
  EXPECT_EQ(eventCount(), 4U);
}

TEST_F(ForegroundHintMonitorTest, APromptAgentInFrontPassesTheRequestToTheBrowserBehindIt) {
  workspace.setFrontmost(firefoxApp);
  onMain([&] { monitor.start(); });
  ticks.advanceSeconds(1);
  workspace.activate(pinentryApp.processIdentifier);
  deliver();
  EXPECT_EQ(attributionAfter(10), firefox);
  EXPECT_EQ(attributionAfter(25), SigningAttribution::unknown);
}

TEST_F(ForegroundHintMonitorTest, EveryPromptAgentOfThisDesktopIsASystemPrompt) {
  const auto& prompts = MacForegroundHintMonitor::systemPromptBundleIDs;
  for (const auto& known : platform::workspace::knownExecutables()) {
    if (!known.identifier.starts_with("org.gnupg.pinentry")) continue;
    EXPECT_NE(std::ranges::find(prompts, known.identifier), prompts.end()) << known.identifier;
  }
}

struct SessionRow {
  Kind kind;
  // The application in front after the event, when the event records it.
  std::optional<SigningAttribution> recorded;
};

TEST_F(ForegroundHintMonitorTest, SleepAndTheSessionsEndEmptyTheHistoryAndWakeAndItsReturnStartItAgain) {
  const SessionRow rows[] = {
      {Kind::willSleep, std::nullopt},
      {Kind::sessionDidResignActive, std::nullopt},
      {Kind::didWake, editor},
      {Kind::sessionDidBecomeActive, editor},
  };
  for (const auto& row : rows) {
    workspace.setFrontmost(chromeApp);
    onMain([&] { monitor.start(); });
    ticks.advanceSeconds(1);
    workspace.setFrontmost(editorApp);
    workspace.send(WorkspaceEvent{row.kind, std::nullopt});
    deliver();
    std::vector<ForegroundHintHistory::Event> events;
    onMain([&] { events = monitor.history().events(); });
    if (row.recorded) {
      ASSERT_EQ(events.size(), 1U) << static_cast<int>(row.kind);
      EXPECT_EQ(events.front().attribution, *row.recorded);
      EXPECT_EQ(events.front().ticks, ticks.now());
    } else {
      EXPECT_TRUE(events.empty()) << static_cast<int>(row.kind);
    }
    // What was in front before the event is forgotten either way.
    EXPECT_NE(attributionAfter(0), chrome) << static_cast<int>(row.kind);
  }
}

TEST_F(ForegroundHintMonitorTest, StopRemovesTheObserverAndTheHistory) {
  workspace.setFrontmost(chromeApp);
  onMain([&] { monitor.start(); });
  onMain([&] { monitor.start(); });
  EXPECT_EQ(workspace.observerCount(), 1U);
  EXPECT_EQ(eventCount(), 1U);

  workspace.activate(editorApp.processIdentifier);
  onMain([&] { monitor.stop(); });
  deliver();
  EXPECT_FALSE(monitor.isStarted());
  EXPECT_EQ(workspace.observerCount(), 0U);
  EXPECT_EQ(eventCount(), 0U);
  EXPECT_EQ(attributionAfter(1), SigningAttribution::unknown);
}

TEST(ForegroundHintMonitor, ADestroyedMonitorObservesNothing) {
  boost::asio::io_context main;
  FakeWorkspace workspace(main.get_executor());
  {
    MacForegroundHintMonitor monitor(workspace, nullptr);
    boost::asio::post(main, [&] { monitor.start(); });
    main.run();
    EXPECT_EQ(workspace.observerCount(), 1U);
  }
  EXPECT_EQ(workspace.observerCount(), 0U);
}

struct BrowserRow {
  RunningApplication application;
  bool passes;
  SigningAttribution expected;
  bool checked;
};

TEST_F(ForegroundHintMonitorTest, ABrowserIsRecognisedOnlyWhenItsProcessPassesItsRequirement) {
  const BrowserRow rows[] = {
      {{40, "com.google.Chrome", 1}, true, chrome, true},
      {{41, "com.google.Chrome", 1}, false, SigningAttribution("com.google.Chrome", false), true},
      {{42, "org.mozilla.firefox", 1}, true, firefox, true},
      {{43, "com.apple.Safari", 1}, true, SigningAttribution("com.apple.Safari", true), true},
      // Only the browsers of the table are checked.
      {{44, "org.gnome.gedit", 1}, true, editor, false},
      {{45, "com.google.chrome", 1}, true, SigningAttribution("com.google.chrome", false), false},
      {{46, std::nullopt, 1}, true, SigningAttribution::unknown, false},
      {{0, "com.google.Chrome", 1}, true, SigningAttribution("com.google.Chrome", false), false},
  };
  for (const auto& row : rows) {
    check.calls.clear();
    check.passing.clear();
    if (row.passes) check.passing.insert(row.application.processIdentifier);
    workspace.setFrontmost(row.application);
    onMain([&] { monitor.start(); });
    EXPECT_EQ(attributionAfter(1), row.expected) << row.application.processIdentifier;
    if (row.checked) {
      const std::vector<std::pair<pid_t, std::string>> expected{
          {row.application.processIdentifier, requirementOf(*row.application.bundleIdentifier)}};
      EXPECT_EQ(check.calls, expected) << row.application.processIdentifier;
    } else {
      EXPECT_TRUE(check.calls.empty()) << row.application.processIdentifier;
    }
  }
}

TEST_F(ForegroundHintMonitorTest, ABrowserProcessIsCheckedOnceUntilItsIdentifierNamesAnotherProcess) {
  onMain([&] { monitor.start(); });
  const auto activate = [&](const RunningApplication& application) {
    ticks.advanceSeconds(1);
    workspace.setRunning(application);
    workspace.activate(application.processIdentifier);
    deliver();
    return attributionAfter(0);
  };
  EXPECT_EQ(activate(chromeApp), chrome);
  EXPECT_EQ(activate(editorApp), editor);
  EXPECT_EQ(activate(chromeApp), chrome);
  EXPECT_EQ(check.calls.size(), 1U);

  // The identifier taken by a new process: a process that started later.
  const RunningApplication impostor{chromeApp.processIdentifier, "com.google.Chrome", 900};
  check.passing.erase(chromeApp.processIdentifier);
  EXPECT_EQ(activate(impostor), SigningAttribution("com.google.Chrome", false));
  EXPECT_EQ(check.calls.size(), 2U);

  // A failed check is asked again, and a process without a start time is never remembered.
  check.passing.insert(chromeApp.processIdentifier);
  EXPECT_EQ(activate(impostor), chrome);
  const RunningApplication noStartTime{firefoxApp.processIdentifier, "org.mozilla.firefox", std::nullopt};
  EXPECT_EQ(activate(noStartTime), firefox);
  EXPECT_EQ(activate(noStartTime), firefox);
  EXPECT_EQ(check.calls.size(), 5U);
}

}  // namespace
}  // namespace corvanta

#include "token-support/foreground_hint_history.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

// Ticks of 125/3 nanoseconds each, as on machines whose ticks are not nanoseconds: a history
// that took ticks for nanoseconds would be off by a factor of about 42.
class OddTicks final : public TickSource {
public:
  std::uint64_t now() const override { return 0; }
  Timebase timebase() const override { return Timebase{125, 3}; }
};
const OddTicks ticks;

constexpr std::uint64_t origin = 1'000'000'000'000;
constexpr double ticksPerSecond = 1e9 * 3 / 125;

std::uint64_t at(double seconds) { return origin + static_cast<std::uint64_t>(std::llround(seconds * ticksPerSecond)); }

// One step of a history: an application coming to the front, or the history being emptied (the
// machine going to sleep, the session ending).
struct Step {
  double seconds = 0;
  std::optional<std::string> bundleID;
  bool browser = false;
  bool prompt = false;
  bool clears = false;
};

Step app(double seconds, std::string bundleID) { return {seconds, std::move(bundleID)}; }
Step browser(double seconds, std::string bundleID) { return {seconds, std::move(bundleID), true}; }
Step prompt(double seconds, std::string bundleID = "com.apple.SecurityAgent") {
  return {seconds, std::move(bundleID), false, true};
}
Step quitApp(double seconds) { return {seconds, std::nullopt}; }
Step cleared() { return {0, std::nullopt, false, false, true}; }

ForegroundHintHistory historyOf(const std::vector<Step>& steps) {
  ForegroundHintHistory history;
  for (const auto& step : steps) {
    if (step.clears) {
      history.clear();
      continue;
    }
    history.record(at(step.seconds), step.bundleID, step.browser, step.prompt, ticks);
  }
  return history;
}

const SigningAttribution chrome("com.google.Chrome", true);
const SigningAttribution unsignedChrome("com.google.Chrome", false);
const SigningAttribution safari("com.apple.Safari", true);
const SigningAttribution firefox("org.mozilla.firefox", true);
const SigningAttribution editor("org.gnome.gedit", false);
const SigningAttribution& unknown = SigningAttribution::unknown;

struct AttributionRow {
  const char* name;
  std::vector<Step> steps;
  double request;
  double now;
  SigningAttribution expected;
};

TEST(ForegroundHintHistory, AttributesARequestToTheApplicationInFrontWhenItWasMade) {
  const AttributionRow rows[] = {
      {"a browser in front", {browser(0, "com.google.Chrome")}, 2, 3, chrome},
      {"an unsigned program under a browser's name", {app(0, "com.google.Chrome")}, 2, 3, unsignedChrome},
      {"a request at the very tick of the activation", {app(0, "org.gnome.gedit"), browser(5, "com.google.Chrome")}, 5, 6, chrome},
      {"the application in front before the last one", {app(0, "org.gnome.gedit"), browser(5, "com.google.Chrome")}, 4, 6, editor},
      {"a request before the first event", {browser(10, "com.google.Chrome")}, 5, 11, unknown},
      {"an empty history", {}, 5, 6, unknown},
      {"a prompt 10 s into it after a browser", {browser(0, "com.google.Chrome"), prompt(1)}, 11, 12, chrome},
      {"a prompt exactly 30 s into it", {browser(0, "com.google.Chrome"), prompt(1)}, 31, 32, chrome},
      {"a prompt 31 s into it", {browser(0, "com.google.Chrome"), prompt(1)}, 32, 33, unknown},
      {"a pinentry prompt after a browser", {browser(0, "org.mozilla.firefox"), prompt(5, "org.gnupg.pinentry-gnome3")}, 8, 9, firefox},
      {"two prompts: 30 s from the first",
       {browser(0, "com.apple.Safari"), prompt(1), prompt(20, "com.apple.CoreServicesUIAgent")}, 30, 31, safari},
      {"two prompts: 31 s from the first, 12 s from the second",
       {browser(0, "com.apple.Safari"), prompt(1), prompt(20, "com.apple.CoreServicesUIAgent")}, 32, 33, unknown},
      {"during the first of two prompts", {browser(0, "com.apple.Safari"), prompt(1), prompt(20)}, 10, 33, safari},
      {"a history that begins with a prompt", {prompt(0)}, 1, 2, unknown},
      {"a history that begins with two prompts", {prompt(0), prompt(1)}, 2, 3, unknown},
      {"an application after the prompt", {browser(0, "com.google.Chrome"), prompt(1), app(2, "org.gnome.gedit")}, 3, 4, editor},
      {"a prompt over an application that came up over an earlier prompt",
       {browser(0, "com.google.Chrome"), prompt(1), app(2, "org.gnome.gedit"), prompt(3)}, 4, 5, editor},
      {"a prompt over an application that quit", {browser(0, "com.google.Chrome"), quitApp(1), prompt(2)}, 3, 4, unknown},
      {"an application that quit before it was looked up", {browser(0, "com.google.Chrome"), quitApp(5)}, 6, 7, unknown},
      {"a request exactly 90 s old", {browser(0, "com.google.Chrome")}, 1, 91, chrome},
      {"a request older than 90 s", {browser(0, "com.google.Chrome")}, 1, 91.5, unknown},
      {"a request from the future", {browser(0, "com.google.Chrome")}, 5, 4, unknown},
      {"sleep empties the history", {browser(0, "com.google.Chrome"), cleared()}, 5, 6, unknown},
      {"wake starts again from the frontmost application",
       {browser(0, "com.google.Chrome"), cleared(), app(50, "org.gnome.gedit")}, 55, 56, editor},
      {"nothing before the wake is known", {browser(0, "com.google.Chrome"), cleared(), app(50, "org.gnome.gedit")}, 10, 56, unknown},
      {"equal ticks: the second replaces the first", {browser(5, "com.google.Chrome"), app(5, "org.gnome.gedit")}, 6, 7, editor},
      {"an earlier tick is ignored", {browser(5, "com.google.Chrome"), app(4, "org.gnome.gedit")}, 6, 7, chrome},
      {"an earlier tick is not inserted before the last", {browser(5, "com.google.Chrome"), app(4, "org.gnome.gedit")}, 4.5, 7, unknown},
  };
  for (const auto& row : rows) {
    const auto history = historyOf(row.steps);
    EXPECT_EQ(history.attribution(at(row.request), at(row.now), ticks), row.expected) << row.name;
  }
}

TEST(ForegroundHintHistory, EqualTicksKeepOneEventAndAnEarlierTickAddsNone) {
  EXPECT_EQ(historyOf({browser(5, "com.google.Chrome"), app(5, "org.gnome.gedit")}).events(),
            (std::vector<ForegroundHintHistory::Event>{{at(5), editor, false}}));
  EXPECT_EQ(historyOf({browser(5, "com.google.Chrome"), app(4, "org.gnome.gedit")}).events(),
            (std::vector<ForegroundHintHistory::Event>{{at(5), chrome, false}}));
}

struct PruningRow {
  std::vector<double> recorded;
  std::vector<double> kept;
};

TEST(ForegroundHintHistory, KeepsTheEventInFrontAtTheStartOfTheLast100Seconds) {
  const PruningRow rows[] = {
      {{0, 10, 105}, {0, 10, 105}},
      // The second event is exactly 100 s older than the newest: the first still names the
      // application in front 100 s ago.
      {{0, 10, 110}, {0, 10, 110}},
      {{0, 10, 111}, {10, 111}},
      {{0, 10, 20, 250}, {20, 250}},
      // However old, the one event before the newest stays.
      {{0, 500}, {0, 500}},
      {{0, 100.5, 201}, {100.5, 201}},
  };
  for (const auto& row : rows) {
    ForegroundHintHistory history;
    for (const auto seconds : row.recorded) history.record(at(seconds), "org.gnome.gedit", false, false, ticks);
    std::vector<std::uint64_t> kept;
    for (const auto& event : history.events()) kept.push_back(event.ticks);
    std::vector<std::uint64_t> expected;
    for (const auto seconds : row.kept) expected.push_back(at(seconds));
    EXPECT_EQ(kept, expected) << "newest at " << row.recorded.back() << " s";
  }
}

TEST(ForegroundHintHistory, KeepsTheNewest512Events) {
  ForegroundHintHistory history;
  for (int index = 0; index < 513; ++index) {
    history.record(at(index * 0.1), "app" + std::to_string(index), false, false, ticks);
  }
  ASSERT_EQ(history.events().size(), ForegroundHintHistory::maximumEventCount);
  EXPECT_EQ(history.events().front().ticks, at(0.1));
  EXPECT_EQ(history.events().back().ticks, at(51.2));
  EXPECT_EQ(history.attribution(at(0.05), at(52), ticks), unknown);
  EXPECT_EQ(history.attribution(at(0.15), at(52), ticks), SigningAttribution("app1", false));
}

}  // namespace
}  // namespace corvanta

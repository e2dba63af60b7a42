#include "platform/workspace/session_event_source.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace platform::workspace {
namespace {

using Kind = WorkspaceEvent::Kind;

TEST(SessionEventSource, PreparingForSleepIsWillSleepAndItsEndIsDidWake) {
  EXPECT_EQ(sleepTransitionEvent(true), Kind::willSleep);
  EXPECT_EQ(sleepTransitionEvent(false), Kind::didWake);
}

struct ActivityRow {
  const char* what;
  std::vector<bool> readings;
  std::vector<std::optional<Kind>> events;
};

TEST(SessionEventSource, OnlyAChangeOfTheSessionsActivityIsAnEvent) {
  const ActivityRow rows[] = {
      {"where it starts is no change", {true}, {std::nullopt}},
      {"nor when it starts inactive", {false}, {std::nullopt}},
      {"resigning and coming back",
       {true, false, true},
       {std::nullopt, Kind::sessionDidResignActive, Kind::sessionDidBecomeActive}},
      {"starting inactive, then coming to the front", {false, true}, {std::nullopt, Kind::sessionDidBecomeActive}},
      {"a repeated reading is no change",
       {true, true, false, false, true, true},
       {std::nullopt, std::nullopt, Kind::sessionDidResignActive, std::nullopt, Kind::sessionDidBecomeActive,
        std::nullopt}},
  };
  for (const auto& row : rows) {
    SessionActivity activity;
    std::vector<std::optional<Kind>> events;
    for (const bool active : row.readings) {
      events.push_back(activity.read(active));
    }
    EXPECT_EQ(events, row.events) << row.what;
  }
}

}  // namespace
}  // namespace platform::workspace

#include "platform/workspace/observer_list.hpp"

#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

namespace platform::workspace {
namespace {

using Kind = WorkspaceEvent::Kind;
using runtime::testing::runUntil;

const WorkspaceEvent sleepEvent{Kind::willSleep, std::nullopt};
const WorkspaceEvent activation{Kind::didActivateApplication, 42};

TEST(ObserverList, EventsArriveLaterOnTheMainExecutorInTheOrderObserversWereAdded) {
  boost::asio::io_context main;
  ObserverList list(main.get_executor());
  std::vector<std::pair<int, WorkspaceEvent>> heard;
  list.add([&](const WorkspaceEvent& event) { heard.emplace_back(1, event); });
  list.add([&](const WorkspaceEvent& event) { heard.emplace_back(2, event); });

  list.post(activation);
  list.post(sleepEvent);
  EXPECT_TRUE(heard.empty());
  main.run();

  const std::vector<std::pair<int, WorkspaceEvent>> expected{{1, activation}, {2, activation}, {1, sleepEvent}, {2, sleepEvent}};
  EXPECT_EQ(heard, expected);
}

TEST(ObserverList, ARemovedObserverHearsNothingOfEventsAlreadyOnTheirWay) {
  boost::asio::io_context main;
  ObserverList list(main.get_executor());
  int first = 0;
  int second = 0;
  const auto firstToken = list.add([&](const WorkspaceEvent&) { ++first; });
  list.add([&](const WorkspaceEvent&) { ++second; });
  list.post(activation);
  list.remove(firstToken);
  main.run();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(list.size(), 1U);
}

TEST(ObserverList, AnObserverMayRemoveAnotherOrItselfWhileAnEventIsDelivered) {
  boost::asio::io_context main;
  ObserverList list(main.get_executor());
  int removerCalls = 0;
  int removedCalls = 0;
  Workspace::ObserverToken removerToken = 0;
  Workspace::ObserverToken removedToken = 0;
  removerToken = list.add([&](const WorkspaceEvent&) {
    ++removerCalls;
    list.remove(removedToken);
    list.remove(removerToken);
  });
  removedToken = list.add([&](const WorkspaceEvent&) { ++removedCalls; });
  list.post(activation);
  list.post(activation);
  main.run();
  EXPECT_EQ(removerCalls, 1);
  EXPECT_EQ(removedCalls, 0);
  EXPECT_EQ(list.size(), 0U);
}

TEST(ObserverList, AnEventPostedFromAnotherThreadIsDeliveredOnTheMainThread) {
  boost::asio::io_context main;
  ObserverList list(main.get_executor());
  std::optional<std::thread::id> deliveredOn;
  std::optional<bool> onMainWhenDelivered;
  list.add([&](const WorkspaceEvent&) {
    deliveredOn = std::this_thread::get_id();
    onMainWhenDelivered = list.isOnMainExecutor();
  });
  std::thread other([post = list.poster()] { post(activation); });
  ASSERT_TRUE(runUntil(main, [&] { return deliveredOn.has_value(); }));
  other.join();
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());
  EXPECT_EQ(onMainWhenDelivered, true);
}

TEST(ObserverList, APosterOutlivingItsListPostsNothing) {
  boost::asio::io_context main;
  int heard = 0;
  ObserverList::Poster post;
  {
    ObserverList list(main.get_executor());
    list.add([&](const WorkspaceEvent&) { ++heard; });
    post = list.poster();
    post(activation);
  }
  post(activation);
  main.run();
  EXPECT_EQ(heard, 0);
}

TEST(ObserverList, TellsWhetherTheMainExecutorRunsTheCallingThread) {
  boost::asio::io_context main;
  const auto strand = boost::asio::make_strand(boost::asio::any_io_executor(main.get_executor()));
  const ObserverList plain(main.get_executor());
  const ObserverList stranded(strand);
  EXPECT_FALSE(plain.isOnMainExecutor());
  EXPECT_FALSE(stranded.isOnMainExecutor());

  std::optional<bool> plainInside;
  std::optional<bool> strandedOutsideItsStrand;
  std::optional<bool> strandedInside;
  std::optional<bool> plainOnAnotherThread;
  boost::asio::post(main, [&] {
    plainInside = plain.isOnMainExecutor();
    strandedOutsideItsStrand = stranded.isOnMainExecutor();
    std::thread([&] { plainOnAnotherThread = plain.isOnMainExecutor(); }).join();
  });
  boost::asio::post(strand, [&] { strandedInside = stranded.isOnMainExecutor(); });
  main.run();
  EXPECT_EQ(plainInside, true);
  EXPECT_EQ(strandedOutsideItsStrand, false);
  EXPECT_EQ(strandedInside, true);
  EXPECT_EQ(plainOnAnotherThread, false);
}

}  // namespace
}  // namespace platform::workspace

#include "token-support/token_endpoint_store.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using platform::foundation::UUID;
using platform::xpc::Endpoint;

Endpoint appEndpoint(int n) { return Endpoint{"/run/user/1000/ro.corvanta.sign/app-" + std::to_string(n)}; }

TEST(TokenEndpointStore, TheFirstConnectionToRegisterOwnsTheSlotUntilItIsCleared) {
  enum class Op { registerOwner, clear };
  struct Step {
    Op op;
    char connection;  // 'A' or 'B'
    int endpoint = 0;
    bool stored = false;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::optional<int> endpointAfter;
  };
  const auto registers = [](char connection, int endpoint, bool stored) {
    return Step{Op::registerOwner, connection, endpoint, stored};
  };
  const auto clears = [](char connection) { return Step{Op::clear, connection}; };
  const std::vector<Case> cases = {
      {"starts empty", {}, std::nullopt},
      {"the first registration takes the slot", {registers('A', 1, true)}, 1},
      {"another connection is refused and the owner keeps the slot",
       {registers('A', 1, true), registers('B', 2, false)},
       1},
      {"the owner replaces its endpoint", {registers('A', 1, true), registers('A', 2, true)}, 2},
      {"the owner still registers after a refused rival",
       {registers('A', 1, true), registers('B', 2, false), registers('A', 3, true)},
       3},
      {"a rival going away leaves the slot", {registers('A', 1, true), registers('B', 2, false), clears('B')}, 1},
      {"the owner going away empties the slot", {registers('A', 1, true), clears('A')}, std::nullopt},
      {"after the owner went away another connection owns the slot",
       {registers('A', 1, true), clears('A'), registers('B', 2, true), registers('A', 3, false)},
       2},
      {"clearing an empty slot changes nothing", {clears('A'), registers('B', 1, true)}, 1},
  };
  const UUID a = UUID::random();
  const UUID b = UUID::random();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TokenEndpointStore store;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& step = c.steps[i];
      const UUID& connectionID = step.connection == 'A' ? a : b;
      auto locked = store.lock();
      if (step.op == Op::registerOwner) {
        EXPECT_EQ(locked.registerOwner(appEndpoint(step.endpoint), connectionID), step.stored);
      } else {
        locked.clear(connectionID);
      }
    }
    const std::optional<Endpoint> expected =
        c.endpointAfter ? std::optional<Endpoint>(appEndpoint(*c.endpointAfter)) : std::nullopt;
    EXPECT_EQ(store.lock().endpoint(), expected);
  }
}

}  // namespace
}  // namespace corvanta

#pragma once

#include "platform/tokenkit/token_kit.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform::tokenkit::testing {

// A token kit that keeps its configurations in memory, for tests of the code that publishes and
// reads tokens. Drivers are installed by the test. failNextWrites(n) makes the next n writes of
// any configuration throw, as a full or read-only store would.
class InMemoryTokenKit final : public TokenKit {
public:
  InMemoryTokenKit();

  void installDriver(const std::string& driverID);
  void failNextWrites(int count);

  std::map<std::string, std::shared_ptr<DriverConfiguration>> driverConfigurations() const override;

  struct State;

private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::tokenkit::testing

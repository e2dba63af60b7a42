#pragma once

#include "platform/runtime/continuous_clock.hpp"
#include "token-support/token_clock.hpp"

#include <chrono>
#include <functional>

namespace corvanta {

// Where the extension's objects read the time. Each must outlive the driver and everything it
// made; tests pass clocks they move.
struct TokenExtensionClocks {
  // The token clock's ticks, on which sign requests carry their instants for the app.
  const TickSource* ticks = &TickSource::system();
  // The instants of the approval windows.
  const platform::runtime::ContinuousClock* continuous = &platform::runtime::ContinuousClock::system();
  // The current date, at which the certificate must be valid.
  std::function<std::chrono::system_clock::time_point()> date = [] { return std::chrono::system_clock::now(); };
};

}  // namespace corvanta

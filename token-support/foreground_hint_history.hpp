#pragma once

#include "sign-core/signing_attribution.hpp"
#include "token-support/token_clock.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvanta {

// Which application came to the front when, on the token clock, so that a sign request can be
// attributed to the application that was in front when it was created, looking through the
// prompt windows that come up in between.
class ForegroundHintHistory {
public:
  static constexpr std::size_t maximumEventCount = 512;
  // The application in front this long before the newest event stays known.
  static constexpr double retentionSeconds = 100.0;
  // A request older than this is attributed to nobody.
  static constexpr double maximumRequestAgeSeconds = 90.0;
  // A request made while a prompt is in front counts for the application behind it only this
  // long after the first prompt came up.
  static constexpr double maximumPromptSeconds = 30.0;

  struct Event {
    std::uint64_t ticks;
    SigningAttribution attribution;
    bool isSystemPrompt;

    friend bool operator==(const Event&, const Event&) = default;
  };

  // Ignores an event earlier than the last one; one at the same tick replaces it.
  void record(std::uint64_t ticks, std::optional<std::string_view> bundleID, bool recognizedBrowser,
              bool isSystemPrompt, const TickSource& source = TickSource::system());

  // The attribution of a request created at `requestTicks`, seen at `now`; unknown when the
  // history has nothing usable for it.
  SigningAttribution attribution(std::uint64_t requestTicks, std::uint64_t now,
                                 const TickSource& source = TickSource::system()) const;

  void clear() { events_.clear(); }
  // Oldest first.
  const std::vector<Event>& events() const { return events_; }

private:
  void dropEventsBeforeTheWindow(std::uint64_t newestTicks, const TickSource& source);

  std::vector<Event> events_;
};

}  // namespace corvanta

#include "token-support/foreground_hint_history.hpp"

#include <iterator>

namespace corvanta {

void ForegroundHintHistory::record(std::uint64_t ticks, std::optional<std::string_view> bundleID,
                                   bool recognizedBrowser, bool isSystemPrompt, const TickSource& source) {
  if (!events_.empty()) {
    if (ticks < events_.back().ticks) return;
    if (ticks == events_.back().ticks) events_.pop_back();
  }
  const bool heldEventsBefore = !events_.empty();
  events_.push_back(Event{ticks, SigningAttribution(bundleID, recognizedBrowser), isSystemPrompt});
  if (heldEventsBefore) dropEventsBeforeTheWindow(ticks, source);
  if (events_.size() > maximumEventCount) {
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(events_.size() - maximumEventCount));
  }
}

// The oldest event goes only once the one after it is itself older than the window: until then it
// names the application that was in front at the window's start.
void ForegroundHintHistory::dropEventsBeforeTheWindow(std::uint64_t newestTicks, const TickSource& source) {
  auto keepFrom = events_.begin();
  while (std::distance(keepFrom, events_.end()) >= 2 &&
         TokenClock::seconds(std::next(keepFrom)->ticks, newestTicks, source) > retentionSeconds) {
    ++keepFrom;
  }
  events_.erase(events_.begin(), keepFrom);
}

SigningAttribution ForegroundHintHistory::attribution(std::uint64_t requestTicks, std::uint64_t now,
                                                      const TickSource& source) const {
  // A request tick after now reads as infinitely old.
  if (TokenClock::seconds(requestTicks, now, source) > maximumRequestAgeSeconds) return SigningAttribution::unknown;

  // The latest event not after the request: the application in front when it was made.
  auto inFront = events_.rend();
  for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
    if (event->ticks <= requestTicks) {
      inFront = event;
      break;
    }
  }
  if (inFront == events_.rend()) return SigningAttribution::unknown;
  if (!inFront->isSystemPrompt) return inFront->attribution;

  // A prompt: the request belongs to the application the run of prompts came up over.
  auto firstPrompt = inFront;
  while (std::next(firstPrompt) != events_.rend() && std::next(firstPrompt)->isSystemPrompt) ++firstPrompt;
  const auto behind = std::next(firstPrompt);
  if (behind == events_.rend()) return SigningAttribution::unknown;
  if (TokenClock::seconds(firstPrompt->ticks, requestTicks, source) > maximumPromptSeconds) {
    return SigningAttribution::unknown;
  }
  return behind->attribution;
}

}  // namespace corvanta

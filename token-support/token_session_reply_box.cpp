#include "token-support/token_session_reply_box.hpp"

#include <utility>

namespace corvanta {

namespace {

using platform::runtime::ContinuousClock;
using platform::runtime::OnceBox;

// The answer, or `givenUp` once that was stored in the answer's place.
template <typename T>
T settled(OnceBox<T>& box, ContinuousClock::Duration timeout, const ContinuousClock& clock, const T& givenUp) {
  if (auto answer = box.wait(timeout, clock)) return std::move(*answer);
  if (box.put(givenUp)) return givenUp;
  // The answer came after the wait ended and before the give-up value: it is the one outcome.
  return *box.current();
}

}  // namespace

bool EndpointReplyBox::finish(std::optional<platform::xpc::Endpoint> endpoint) const {
  return box_->put(std::move(endpoint));
}

std::optional<platform::xpc::Endpoint> EndpointReplyBox::wait(ContinuousClock::Duration timeout,
                                                              const ContinuousClock& clock) const {
  return settled(*box_, timeout, clock, std::optional<platform::xpc::Endpoint>{});
}

bool ReplyBox::finish(Result result) const { return box_->put(std::move(result)); }

platform::Bytes ReplyBox::wait(ContinuousClock::Duration timeout, const ContinuousClock& clock) const {
  auto result = settled(*box_, timeout, clock, Result{TokenFailure::uncertainOutcome});
  if (auto* failure = std::get_if<TokenFailure>(&result)) throw *failure;
  return std::get<platform::Bytes>(std::move(result));
}

}  // namespace corvanta

#include "token-extension/corvanta_token.hpp"

#include "token-extension/corvanta_token_driver.hpp"
#include "token-extension/corvanta_token_session.hpp"
#include "token-extension/make_token_error.hpp"
#include "token-support/token_failure.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace corvanta {

using platform::tokenkit::Result;
using platform::tokenkit::TokenSession;

CorvantaToken::CorvantaToken(MadeByDriver, std::shared_ptr<CorvantaTokenDriver> driver, TokenIdentity identity)
    : Token(std::move(driver), identity.instanceID()), identity_(std::move(identity)) {}

const CorvantaTokenDriver& CorvantaToken::corvantaDriver() const {
  // Only a CorvantaTokenDriver makes these tokens, and it passes itself.
  return static_cast<const CorvantaTokenDriver&>(*driver());
}

Result<std::shared_ptr<TokenSession>> CorvantaToken::createSession() {
  const std::lock_guard guard(lock_);
  if (!active_) return makeTokenError(TokenFailure::unavailable);
  std::shared_ptr<CorvantaTokenSession> session;
  try {
    const auto& driver = corvantaDriver();
    session = std::make_shared<CorvantaTokenSession>(shared_from_this(), identity_, driver.makeTransport(),
                                                     driver.clocks());
  } catch (...) {
    return makeTokenError(std::current_exception());
  }
  std::erase_if(sessions_, [](const std::weak_ptr<CorvantaTokenSession>& entry) { return entry.expired(); });
  sessions_.push_back(session);
  return std::shared_ptr<TokenSession>(std::move(session));
}

void CorvantaToken::terminate() {
  std::vector<std::shared_ptr<CorvantaTokenSession>> live;
  {
    const std::lock_guard guard(lock_);
    active_ = false;
    for (const auto& entry : sessions_) {
      if (auto session = entry.lock()) live.push_back(std::move(session));
    }
    sessions_.clear();
  }
  // The token's lock guards only the list and the flag; each gate has a lock of its own.
  for (const auto& session : live) session->gate()->invalidate();
}

bool CorvantaToken::isActive() const {
  const std::lock_guard guard(lock_);
  return active_;
}

std::size_t CorvantaToken::rememberedSessionCount() const {
  const std::lock_guard guard(lock_);
  return sessions_.size();
}

}  // namespace corvanta

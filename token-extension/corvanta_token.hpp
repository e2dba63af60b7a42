#pragma once

#include "platform/tokenkit/token_driver.hpp"
#include "token-support/token_identity.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace corvanta {

class CorvantaTokenDriver;
class CorvantaTokenSession;

// The token of one published identity: its instance identifier is the identity's, and it hands out
// one session per client. The host owns the sessions; the token only remembers them weakly, so that
// termination can reach the live ones.
class CorvantaToken final : public platform::tokenkit::Token, public std::enable_shared_from_this<CorvantaToken> {
public:
  // Only the driver makes tokens, from a configuration it has checked.
  class MadeByDriver {
    friend class CorvantaTokenDriver;
    MadeByDriver() = default;
  };

  CorvantaToken(MadeByDriver, std::shared_ptr<CorvantaTokenDriver> driver, TokenIdentity identity);

  // A new session with its own approval gate and its own road to the app. Refused with the token
  // error of TokenFailure::unavailable once the token was terminated.
  platform::tokenkit::Result<std::shared_ptr<platform::tokenkit::TokenSession>> createSession() override;

  // Ends the token for good: no new session, and the gate of every live session is invalidated.
  void terminate();

  const TokenIdentity& identity() const { return identity_; }
  bool isActive() const;
  // The sessions the token still remembers: every session handed out since the last creation pruned
  // the released ones.
  std::size_t rememberedSessionCount() const;

private:
  const CorvantaTokenDriver& corvantaDriver() const;

  const TokenIdentity identity_;
  // Creation and termination of one token never interleave on these.
  mutable std::mutex lock_;
  std::vector<std::weak_ptr<CorvantaTokenSession>> sessions_;
  bool active_ = true;
};

}  // namespace corvanta

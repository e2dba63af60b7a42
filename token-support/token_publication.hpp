#pragma once

#include "platform/foundation/uuid.hpp"
#include "platform/tokenkit/token_kit.hpp"
#include "token-support/token_identity.hpp"

#include <chrono>
#include <cstddef>

namespace corvanta {

// The only writer of the system's token configurations: makes an identity visible as the one
// token of the driver TokenPeerIdentity::driverID and takes it away again. One process-wide lock
// serialises the three operations.
class TokenPublication {
public:
  TokenPublication() = delete;

  // Replaces every configuration of the driver by one for the identity: its instance identifier,
  // its JSON as configuration data and its keychain items made at `now`. Throws
  // TokenFailure::unavailable when the driver is not installed; errors of the keychain items pass
  // on unchanged, and since they come before any change the earlier configurations then stay.
  // A store that cannot be written throws std::system_error; a configuration added before the
  // failure is taken away again, so no token without its data is left behind.
  static void publish(platform::tokenkit::TokenKit& kit, const TokenIdentity& identity,
                      std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // Removes every configuration of the driver, whatever it holds, and returns how many there
  // were; 0 when the driver is not installed. Never throws: a configuration the store fails to
  // remove stays and is still counted.
  static std::size_t removeAllConfigurations(platform::tokenkit::TokenKit& kit);

  // Removes the configurations whose data decode to an identity of this activation. The decoding
  // checks only the form, so an identity whose certificate has since expired can still be
  // withdrawn. Missing, oversized (more than TokenIdentity::maximumJSONByteCount bytes, not
  // parsed) or undecodable data is passed over and its configuration stays. Never throws.
  static void remove(platform::tokenkit::TokenKit& kit, const platform::foundation::UUID& activationID);
};

}  // namespace corvanta

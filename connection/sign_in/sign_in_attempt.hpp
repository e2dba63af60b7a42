#pragma once

#include "connection/sign_in/url_components.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/security/random.hpp"

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvanta {

// Fills the buffer with secure random bytes; false when the source failed, and then the buffer's
// content must not be used. Tests put a source of fixed bytes in place of the system's.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;

// One browser sign-in: the authorization request (authorization code flow with PKCE, S256) and
// the check of the redirect that comes back to the loopback address. An attempt never changes; a
// failed check leaves it usable, so the loopback receiver can keep waiting after a bad request.
class SignInAttempt {
public:
  using Instant = platform::runtime::ContinuousClock::Instant;

  // How long the browser has to come back, from the creation of the attempt.
  static constexpr std::chrono::seconds lifetime{300};
  // The longest authorization code accepted, in UTF-8 bytes.
  static constexpr std::size_t maximumCodeByteCount = 8192;

  // Draws the state and then the verifier from the random source and reads the clock once, after
  // both. Throws ConnectionError::invalidResponse when the random source fails; no attempt exists
  // then.
  explicit SignInAttempt(const platform::runtime::ContinuousClock& clock = platform::runtime::ContinuousClock::system(),
                         const RandomSource& random = platform::security::copyRandomBytes);

  const platform::foundation::UUID& id() const { return id_; }
  // The complete authorization request to open in the browser.
  const boost::urls::url& authorizationURL() const { return authorizationURL_; }

  // The rest is read only inside the service connection (the session and the loopback receiver).
  // 43 base64url characters, sent as "state" and expected back unchanged.
  const std::string& state() const { return state_; }
  // 43 base64url characters; sent only in the code exchange, never in the browser.
  const std::string& verifier() const { return verifier_; }
  // Creation plus 300 seconds; at this instant the attempt has expired.
  Instant deadline() const { return deadline_; }

  // The authorization code of a redirect that belongs to this attempt, unchanged. The first failed
  // check decides: ConnectionError::loginExpired at or after the deadline (before the URL is
  // looked at); authorizationDenied when the identity provider answered with an error and no
  // code; invalidCallback for anything else that is not a redirect to
  // http://localhost:53682/callback with this attempt's state, the issuer as "iss", and one code
  // of 1 to 8192 bytes.
  std::string authorizationCode(boost::urls::url_view callback, Instant now) const;

  friend bool operator==(const SignInAttempt& a, const SignInAttempt& b);

private:
  platform::foundation::UUID id_;
  boost::urls::url authorizationURL_;
  std::string state_;
  std::string verifier_;
  Instant deadline_;
};

// 32 bytes from the random source as unpadded base64url: 43 characters. Throws
// ConnectionError::invalidResponse when the source fails.
std::string randomToken(const RandomSource& random = platform::security::copyRandomBytes);

// Unpadded base64url (RFC 4648 section 5) of the bytes, as the state, the verifier and the code
// challenge are written.
std::string base64URL(platform::ByteView bytes);

// The value of the one query item with exactly this name (letter case counts); none when there is
// no such item or it has no '='. A name given more than once, even with equal values, and a value
// that is not valid UTF-8 once decoded throw ConnectionError::invalidCallback.
std::optional<std::string> queryValue(std::string_view name, const URLComponents& components);

// Equality of the two texts' bytes in a time that depends only on their lengths, so that a caller
// who guesses the state learns nothing from how fast a wrong guess is refused.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace corvanta

#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/uuid.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_identity.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvanta {

// The one message that crosses from the token extension to the app for every signature: which
// activation, certificate and key it was made for, the algorithm by name, the digest, and its
// creation and deadline instants as ticks of the token clock. It travels as a JSON object whose
// keys are the field names; the ticks are exact unsigned 64-bit numbers.
//
// Decoding (platform::foundation::decodeJSON<TokenSignRequest>) checks only the form; the receiver
// runs validatedAlgorithm() and its own checks against the active identity.
struct TokenSignRequest {
  // The longest key object identifier a receiver takes, in UTF-8 bytes.
  static constexpr std::size_t maximumKeyObjectIDByteCount = 256;
  static constexpr std::size_t certificateFingerprintByteCount = 32;
  // How long a request is good for after it was made.
  static constexpr double lifetimeSeconds = 90.0;

  platform::foundation::UUID requestID{platform::foundation::UUID::Storage{}};
  platform::foundation::UUID activationID{platform::foundation::UUID::Storage{}};
  platform::Bytes certificateFingerprint;
  std::string keyObjectID;
  std::string algorithmName;
  platform::Bytes digest;
  std::uint64_t deadlineTicks = 0;
  std::uint64_t createdTicks = 0;

  // A new request under a new random identifier, stamped now and good for 90 seconds. Throws, in
  // this order: SigningError::invalidDigestLength for a digest of the wrong length; the identity's
  // validation error at `now`, unchanged; TokenFailure::unsupported when the certificate's key
  // cannot sign with the algorithm.
  static TokenSignRequest make(const TokenIdentity& identity, SigningAlgorithm algorithm, platform::Bytes digest,
                               std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
                               const TickSource& ticks = TickSource::system());

  static TokenSignRequest fromJSON(const platform::foundation::JSONObjectReader& reader);

  // The compact JSON object, keys in field order.
  platform::Bytes encodedJSON() const;

  // The shape checks of a received request. Throws TokenFailure::invalidInput for a fingerprint
  // that is not 32 bytes, a key object identifier of more than 256 UTF-8 bytes, or an algorithm
  // name that is not exactly one of the six; SigningError::invalidDigestLength unchanged.
  SigningAlgorithm validatedAlgorithm() const;

  friend bool operator==(const TokenSignRequest&, const TokenSignRequest&) = default;
};

}  // namespace corvanta

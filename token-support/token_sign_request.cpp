#include "token-support/token_sign_request.hpp"

#include "token-support/token_failure.hpp"

#include <utility>

namespace corvanta {

namespace {

constexpr std::string_view requestIDKey = "requestID";
constexpr std::string_view activationIDKey = "activationID";
constexpr std::string_view certificateFingerprintKey = "certificateFingerprint";
constexpr std::string_view keyObjectIDKey = "keyObjectID";
constexpr std::string_view algorithmNameKey = "algorithmName";
constexpr std::string_view digestKey = "digest";
constexpr std::string_view deadlineTicksKey = "deadlineTicks";
constexpr std::string_view createdTicksKey = "createdTicks";

}  // namespace

TokenSignRequest TokenSignRequest::make(const TokenIdentity& identity, SigningAlgorithm algorithm, platform::Bytes digest,
                                        std::chrono::system_clock::time_point now, const TickSource& ticks) {
  algorithm.validate(digest);
  const auto profile = identity.validatedProfile(now);
  if (!profile.key().supports(algorithm)) throw TokenFailure::unsupported;

  TokenSignRequest request;
  request.requestID = platform::foundation::UUID::random();
  request.activationID = identity.activationID();
  request.certificateFingerprint = identity.certificateFingerprint();
  request.keyObjectID = identity.keyObjectID();
  request.algorithmName = std::string(algorithm.rawValue());
  request.digest = std::move(digest);
  request.createdTicks = TokenClock::now(ticks);
  request.deadlineTicks = TokenClock::deadline(lifetimeSeconds, request.createdTicks, ticks);
  return request;
}

TokenSignRequest TokenSignRequest::fromJSON(const platform::foundation::JSONObjectReader& reader) {
  TokenSignRequest request;
  request.requestID = reader.required<platform::foundation::UUID>(requestIDKey);
  request.activationID = reader.required<platform::foundation::UUID>(activationIDKey);
  request.certificateFingerprint = reader.required<platform::Bytes>(certificateFingerprintKey);
  request.keyObjectID = reader.required<std::string>(keyObjectIDKey);
  request.algorithmName = reader.required<std::string>(algorithmNameKey);
  request.digest = reader.required<platform::Bytes>(digestKey);
  request.deadlineTicks = reader.required<std::uint64_t>(deadlineTicksKey);
  request.createdTicks = reader.required<std::uint64_t>(createdTicksKey);
  return request;
}

platform::Bytes TokenSignRequest::encodedJSON() const {
  platform::foundation::JSONObjectWriter writer;
  writer.setUUID(requestIDKey, requestID)
      .setUUID(activationIDKey, activationID)
      .setBytes(certificateFingerprintKey, certificateFingerprint)
      .setString(keyObjectIDKey, keyObjectID)
      .setString(algorithmNameKey, algorithmName)
      .setBytes(digestKey, digest)
      .setUInt64(deadlineTicksKey, deadlineTicks)
      .setUInt64(createdTicksKey, createdTicks);
  return platform::bytesOf(writer.serialized());
}

SigningAlgorithm TokenSignRequest::validatedAlgorithm() const {
  if (certificateFingerprint.size() != certificateFingerprintByteCount) throw TokenFailure::invalidInput;
  // std::string holds the UTF-8 bytes, so its size is the byte count.
  if (keyObjectID.size() > maximumKeyObjectIDByteCount) throw TokenFailure::invalidInput;
  const auto algorithm = SigningAlgorithm::fromRawValue(algorithmName);
  if (!algorithm) throw TokenFailure::invalidInput;
  algorithm->validate(digest);
  return *algorithm;
}

}  // namespace corvanta

#pragma once

#include "sign-core/signing_usage.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvanta {

// Who asked for a signature, as far as the desktop can tell: the application that was in front
// when the request was made. Nothing here is verified, and the caller fields say so openly. A
// request counts as client authentication only when a recognised browser was observed.
class SigningAttribution {
public:
  static constexpr std::size_t maximumBundleIDLength = 160;

  static const SigningAttribution unknown;

  // The texts of the synthetic client-authentication profile.
  static constexpr std::string_view profilePublisher = "CORVANTA MACOS COMPATIBILITY HINT V1";
  static constexpr std::string_view profileProduct = "Corvanta macOS authentication hint v1";
  static constexpr std::string_view profileImage = "corvanta-macos-authentication-hint-v1";

  // Keeps only ASCII letters, digits, ".", "-" and "_" of the identifier, then its first 160 of
  // them; nothing left means no identifier. Every byte of a multi-byte UTF-8 sequence (and every
  // ill-formed byte) is outside that set, so filtering bytes drops exactly the non-ASCII scalars.
  SigningAttribution(std::optional<std::string_view> observedBundleID, bool recognizedBrowser);

  SigningUsage usage() const { return usage_; }
  // Never empty when present.
  const std::optional<std::string>& observedBundleID() const { return observedBundleID_; }

  // The five caller-hint fields sent with each digest, in a fixed order.
  std::vector<std::pair<std::string, std::string>> callerFields() const;

  friend bool operator==(const SigningAttribution&, const SigningAttribution&) = default;

private:
  constexpr SigningAttribution() : usage_(SigningUsage::documentSigning) {}

  SigningUsage usage_;
  std::optional<std::string> observedBundleID_;
};

inline constinit const SigningAttribution SigningAttribution::unknown{};

}  // namespace corvanta

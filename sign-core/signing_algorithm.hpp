#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/key_algorithm.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace corvanta {

// The six signature algorithms the whole system accepts. All of them sign a ready digest: RSA
// PKCS#1 v1.5 and ECDSA with a DER (X9.62) signature. Nothing outside this table can be signed.
class SigningAlgorithm {
public:
  enum class Case : std::uint8_t { rsaPKCS1SHA256, rsaPKCS1SHA384, rsaPKCS1SHA512, ecdsaSHA256, ecdsaSHA384, ecdsaSHA512 };

  class KeyKind {
  public:
    enum class Case : std::uint8_t { rsa, ellipticCurve };

    static const KeyKind rsa;
    static const KeyKind ellipticCurve;

    // Exact, case-sensitive match of "rsa" or "ellipticCurve".
    static std::optional<KeyKind> fromRawValue(std::string_view rawValue);

    constexpr Case value() const { return case_; }
    std::string_view rawValue() const;

    friend constexpr bool operator==(KeyKind, KeyKind) = default;

  private:
    constexpr explicit KeyKind(Case kind) : case_(kind) {}
    Case case_;
  };

  static const SigningAlgorithm rsaPKCS1SHA256;
  static const SigningAlgorithm rsaPKCS1SHA384;
  static const SigningAlgorithm rsaPKCS1SHA512;
  static const SigningAlgorithm ecdsaSHA256;
  static const SigningAlgorithm ecdsaSHA384;
  static const SigningAlgorithm ecdsaSHA512;

  // The six cases in declaration order: the three RSA cases, then the three ECDSA cases, shortest
  // digest first within each. Every search over the algorithms walks this order.
  static const std::array<SigningAlgorithm, 6>& allCases();

  // Exact, case-sensitive match of a case name; the only way a name that crossed a process
  // boundary becomes an algorithm again.
  static std::optional<SigningAlgorithm> fromRawValue(std::string_view rawValue);

  // The first case, in allCases order, whose platform algorithm has the same identifier text;
  // throws SigningError::unsupportedAlgorithm when none has.
  static SigningAlgorithm fromSecurityAlgorithm(platform::security::KeyAlgorithm securityAlgorithm);

  constexpr Case value() const { return case_; }
  std::string_view rawValue() const;
  KeyKind keyKind() const;
  int digestByteCount() const;
  platform::security::KeyAlgorithm securityAlgorithm() const;

  // Returns when the digest has exactly digestByteCount bytes; otherwise throws
  // SigningError::invalidDigestLength with the expected and the actual count. The content is opaque.
  void validate(platform::ByteView digest) const;

  friend constexpr bool operator==(SigningAlgorithm, SigningAlgorithm) = default;

private:
  constexpr explicit SigningAlgorithm(Case algorithm) : case_(algorithm) {}
  Case case_;
};

inline constexpr SigningAlgorithm::KeyKind SigningAlgorithm::KeyKind::rsa{Case::rsa};
inline constexpr SigningAlgorithm::KeyKind SigningAlgorithm::KeyKind::ellipticCurve{Case::ellipticCurve};

inline constexpr SigningAlgorithm SigningAlgorithm::rsaPKCS1SHA256{Case::rsaPKCS1SHA256};
inline constexpr SigningAlgorithm SigningAlgorithm::rsaPKCS1SHA384{Case::rsaPKCS1SHA384};
inline constexpr SigningAlgorithm SigningAlgorithm::rsaPKCS1SHA512{Case::rsaPKCS1SHA512};
inline constexpr SigningAlgorithm SigningAlgorithm::ecdsaSHA256{Case::ecdsaSHA256};
inline constexpr SigningAlgorithm SigningAlgorithm::ecdsaSHA384{Case::ecdsaSHA384};
inline constexpr SigningAlgorithm SigningAlgorithm::ecdsaSHA512{Case::ecdsaSHA512};

}  // namespace corvanta

template <>
struct std::hash<corvanta::SigningAlgorithm> {
  std::size_t operator()(corvanta::SigningAlgorithm algorithm) const noexcept {
    return std::hash<std::string_view>{}(algorithm.rawValue());
  }
};

template <>
struct std::hash<corvanta::SigningAlgorithm::KeyKind> {
  std::size_t operator()(corvanta::SigningAlgorithm::KeyKind kind) const noexcept {
    return std::hash<std::string_view>{}(kind.rawValue());
  }
};

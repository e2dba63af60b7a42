#pragma once

#include "token-support/token_failure.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>

namespace corvanta {

// The status of a sign reply across processes; the wire value is the raw value. The app makes it
// from whatever its signing road threw, the extension turns it back into a TokenFailure.
class TokenOwnerReplyStatus {
public:
  enum class Case : std::int64_t {
    // The reply carries the verified signature.
    success = 0,
    // The code was malformed or the service rejected it.
    invalidCode = 1,
    canceled = 2,
    // Anything else: the outcome is open and nothing was retried.
    uncertain = 3,
    // The app is no longer signed in to the service.
    notAuthenticated = 4,
    // The request does not belong to the current identity or sign-in.
    requestChanged = 5,
    expired = 6,
    // The app has no usable identity or signing context.
    unavailable = 7,
  };

  static const TokenOwnerReplyStatus success;
  static const TokenOwnerReplyStatus invalidCode;
  static const TokenOwnerReplyStatus canceled;
  static const TokenOwnerReplyStatus uncertain;
  static const TokenOwnerReplyStatus notAuthenticated;
  static const TokenOwnerReplyStatus requestChanged;
  static const TokenOwnerReplyStatus expired;
  static const TokenOwnerReplyStatus unavailable;

  // 0 to 7; none for any other integer.
  static std::optional<TokenOwnerReplyStatus> fromRawValue(std::int64_t rawValue);

  // The status of an error of the signing road; never fails. The runtime's CancellationError is
  // canceled, while a cancelled network request (platform::net::NetworkError) is uncertain like
  // every error the table does not name; no error at all is uncertain too.
  static TokenOwnerReplyStatus fromError(const std::exception_ptr& error);

  // The failure a received status stands for. 0 (a success without a usable signature), 3 and
  // every integer outside 0 to 7 are uncertainOutcome.
  static TokenFailure failure(std::int64_t status);

  constexpr Case value() const { return case_; }
  constexpr std::int64_t rawValue() const { return static_cast<std::int64_t>(case_); }

  friend constexpr bool operator==(TokenOwnerReplyStatus, TokenOwnerReplyStatus) = default;

private:
  constexpr explicit TokenOwnerReplyStatus(Case status) : case_(status) {}
  Case case_;
};

inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::success{Case::success};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::invalidCode{Case::invalidCode};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::canceled{Case::canceled};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::uncertain{Case::uncertain};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::notAuthenticated{Case::notAuthenticated};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::requestChanged{Case::requestChanged};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::expired{Case::expired};
inline constexpr TokenOwnerReplyStatus TokenOwnerReplyStatus::unavailable{Case::unavailable};

}  // namespace corvanta

template <>
struct std::hash<corvanta::TokenOwnerReplyStatus> {
  std::size_t operator()(corvanta::TokenOwnerReplyStatus status) const noexcept {
    return std::hash<std::int64_t>{}(status.rawValue());
  }
};

#include "token-support/token_owner_reply_status.hpp"

#include "connection/service/remote_signing_error.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/runtime/cancellation.hpp"
#include "sign-core/signing_error.hpp"

#include <array>

namespace corvanta {

namespace {

// Whether the error is of that type and satisfies the test; every other error is no match.
template <typename Error, typename Test>
bool matches(const std::exception_ptr& error, Test test) {
  try {
    std::rethrow_exception(error);
  } catch (const Error& typed) {
    return test(typed);
  } catch (...) {
    return false;
  }
}

template <typename Error>
bool isExactly(const std::exception_ptr& error, const Error& expected) {
  return matches<Error>(error, [&](const Error& typed) { return typed == expected; });
}

template <typename Error>
bool hasCase(const std::exception_ptr& error, typename Error::Case expected) {
  return matches<Error>(error, [&](const Error& typed) { return typed.errorCase() == expected; });
}

struct StatusRow {
  bool (*applies)(const std::exception_ptr&);
  TokenOwnerReplyStatus status;
};

// The first row that matches decides; everything else is uncertain.
const std::array<StatusRow, 11> statusTable{{
    {[](const std::exception_ptr& error) {
       return hasCase<RemoteSigningError>(error, RemoteSigningError::Case::invalidCode) ||
              hasCase<RemoteSigningError>(error, RemoteSigningError::Case::incorrectCode);
     },
     TokenOwnerReplyStatus::invalidCode},
    {[](const std::exception_ptr& error) { return isExactly(error, TokenFailure::invalidCode); },
     TokenOwnerReplyStatus::invalidCode},
    {[](const std::exception_ptr& error) {
       return matches<platform::runtime::CancellationError>(error, [](const auto&) { return true; });
     },
     TokenOwnerReplyStatus::canceled},
    {[](const std::exception_ptr& error) { return isExactly(error, TokenFailure::canceled); },
     TokenOwnerReplyStatus::canceled},
    {[](const std::exception_ptr& error) { return isExactly(error, ConnectionError::notSignedIn); },
     TokenOwnerReplyStatus::notAuthenticated},
    {[](const std::exception_ptr& error) { return isExactly(error, ConnectionError::staleSession); },
     TokenOwnerReplyStatus::requestChanged},
    {[](const std::exception_ptr& error) { return isExactly(error, TokenFailure::expired); },
     TokenOwnerReplyStatus::expired},
    {[](const std::exception_ptr& error) { return isExactly(error, TokenFailure::requestChanged); },
     TokenOwnerReplyStatus::requestChanged},
    {[](const std::exception_ptr& error) { return isExactly(error, SigningError::requestExpired); },
     TokenOwnerReplyStatus::expired},
    {[](const std::exception_ptr& error) { return isExactly(error, TokenFailure::unavailable); },
     TokenOwnerReplyStatus::unavailable},
    {[](const std::exception_ptr& error) { return isExactly(error, SigningError::notConnected); },
     TokenOwnerReplyStatus::unavailable},
}};

}  // namespace

std::optional<TokenOwnerReplyStatus> TokenOwnerReplyStatus::fromRawValue(std::int64_t rawValue) {
  if (rawValue < 0 || rawValue > static_cast<std::int64_t>(Case::unavailable)) return std::nullopt;
  return TokenOwnerReplyStatus(static_cast<Case>(rawValue));
}

TokenOwnerReplyStatus TokenOwnerReplyStatus::fromError(const std::exception_ptr& error) {
  if (!error) return uncertain;
  for (const auto& row : statusTable) {
    if (row.applies(error)) return row.status;
  }
  return uncertain;
}

TokenFailure TokenOwnerReplyStatus::failure(std::int64_t status) {
  switch (status) {
    case invalidCode.rawValue(): return TokenFailure::invalidCode;
    case canceled.rawValue(): return TokenFailure::canceled;
    case notAuthenticated.rawValue(): return TokenFailure::notAuthenticated;
    case requestChanged.rawValue(): return TokenFailure::requestChanged;
    case expired.rawValue(): return TokenFailure::expired;
    case unavailable.rawValue(): return TokenFailure::unavailable;
    default: return TokenFailure::uncertainOutcome;
  }
}

}  // namespace corvanta

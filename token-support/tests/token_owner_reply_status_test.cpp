#include "token-support/token_owner_reply_status.hpp"

#include "connection/service/remote_signing_error.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/net/network_error.hpp"
#include "platform/runtime/cancellation.hpp"
#include "sign-core/signing_error.hpp"
#include "token-support/token_failure.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using Status = TokenOwnerReplyStatus;

TEST(TokenOwnerReplyStatus, RawValuesAreZeroToSeven) {
  const Status all[] = {Status::success,          Status::invalidCode,    Status::canceled, Status::uncertain,
                        Status::notAuthenticated, Status::requestChanged, Status::expired,  Status::unavailable};
  for (std::int64_t raw = 0; raw < 8; ++raw) {
    EXPECT_EQ(all[raw].rawValue(), raw);
    EXPECT_EQ(Status::fromRawValue(raw), all[raw]) << raw;
  }
  for (const std::int64_t raw : {std::int64_t{-1}, std::int64_t{8}, std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_FALSE(Status::fromRawValue(raw).has_value()) << raw;
  }
}

struct ErrorRow {
  std::string name;
  std::exception_ptr error;
  Status expected;
};

template <typename Error>
ErrorRow row(std::string name, const Error& error, Status expected) {
  return {std::move(name), std::make_exception_ptr(error), expected};
}

std::vector<ErrorRow> errorTable() {
  using F = TokenFailure;
  using C = ConnectionError;
  using R = RemoteSigningError;
  using S = SigningError;
  using N = platform::net::NetworkError;
  return {
      row("RemoteSigningError.invalidCode", R::invalidCode, Status::invalidCode),
      row("RemoteSigningError.incorrectCode", R::incorrectCode, Status::invalidCode),
      row("RemoteSigningError.locked", R::locked(15), Status::uncertain),
      row("RemoteSigningError.invalidRequest", R::invalidRequest, Status::uncertain),
      row("RemoteSigningError.alreadySubmitted", R::alreadySubmitted, Status::uncertain),
      row("RemoteSigningError.operationInProgress", R::operationInProgress, Status::uncertain),
      row("RemoteSigningError.rejected", R::rejected, Status::uncertain),
      row("RemoteSigningError.outcomeUnknown", R::outcomeUnknown, Status::uncertain),
      row("RemoteSigningError.invalidSignature", R::invalidSignature, Status::uncertain),

      row("TokenFailure.invalidConfiguration", F::invalidConfiguration, Status::uncertain),
      row("TokenFailure.unavailable", F::unavailable, Status::unavailable),
      row("TokenFailure.unsupported", F::unsupported, Status::uncertain),
      row("TokenFailure.invalidInput", F::invalidInput, Status::uncertain),
      row("TokenFailure.approvalRequired", F::approvalRequired, Status::uncertain),
      row("TokenFailure.noPendingRequest", F::noPendingRequest, Status::uncertain),
      row("TokenFailure.requestChanged", F::requestChanged, Status::requestChanged),
      row("TokenFailure.expired", F::expired, Status::expired),
      row("TokenFailure.alreadySubmitted", F::alreadySubmitted, Status::uncertain),
      row("TokenFailure.invalidCode", F::invalidCode, Status::invalidCode),
      row("TokenFailure.invalidSignature", F::invalidSignature, Status::uncertain),
      row("TokenFailure.canceled", F::canceled, Status::canceled),
      row("TokenFailure.uncertainOutcome", F::uncertainOutcome, Status::uncertain),
      row("TokenFailure.signingSetupRequired", F::signingSetupRequired, Status::uncertain),
      row("TokenFailure.endpointUnavailable", F::endpointUnavailable, Status::uncertain),
      row("TokenFailure.ownerUnavailable", F::ownerUnavailable, Status::uncertain),
      row("TokenFailure.notAuthenticated", F::notAuthenticated, Status::uncertain),
      row("TokenFailure.ownerReplyUnavailable", F::ownerReplyUnavailable, Status::uncertain),

      row("CancellationError", platform::runtime::CancellationError{}, Status::canceled),
      row("NetworkError.cancelled", N(N::Code::cancelled), Status::uncertain),
      row("NetworkError.timedOut", N(N::Code::timedOut), Status::uncertain),

      row("ConnectionError.requestFailed", C::requestFailed(500), Status::uncertain),
      row("ConnectionError.invalidResponse", C::invalidResponse, Status::uncertain),
      row("ConnectionError.responseTooLarge", C::responseTooLarge, Status::uncertain),
      row("ConnectionError.notSignedIn", C::notSignedIn, Status::notAuthenticated),
      row("ConnectionError.staleSession", C::staleSession, Status::requestChanged),
      row("ConnectionError.invalidCallback", C::invalidCallback, Status::uncertain),
      row("ConnectionError.authorizationDenied", C::authorizationDenied, Status::uncertain),
      row("ConnectionError.loginExpired", C::loginExpired, Status::uncertain),
      row("ConnectionError.callbackUnavailable", C::callbackUnavailable, Status::uncertain),
      row("ConnectionError.invalidCertificate", C::invalidCertificate, Status::uncertain),
      row("ConnectionError.unknownCertificateMode", C::unknownCertificateMode, Status::uncertain),
      row("ConnectionError.ambiguousCertificates", C::ambiguousCertificates, Status::uncertain),

      row("SigningError.invalidDigestLength", S::invalidDigestLength(32, 31), Status::uncertain),
      row("SigningError.unsupportedAlgorithm", S::unsupportedAlgorithm, Status::uncertain),
      row("SigningError.invalidPublicKey", S::invalidPublicKey, Status::uncertain),
      row("SigningError.algorithmKeyMismatch", S::algorithmKeyMismatch, Status::uncertain),
      row("SigningError.invalidSignature", S::invalidSignature, Status::uncertain),
      row("SigningError.invalidContext", S::invalidContext, Status::uncertain),
      row("SigningError.notConnected", S::notConnected, Status::unavailable),
      row("SigningError.requestInProgress", S::requestInProgress, Status::uncertain),
      row("SigningError.invalidDeadline", S::invalidDeadline, Status::uncertain),
      row("SigningError.requestExpired", S::requestExpired, Status::expired),
      row("SigningError.unknownRequest", S::unknownRequest, Status::uncertain),
      row("SigningError.alreadySubmitted", S::alreadySubmitted, Status::uncertain),
      row("SigningError.notSubmitted", S::notSubmitted, Status::uncertain),

      row("DecodingError", platform::foundation::DecodingError::dataCorrupted("", "test"), Status::uncertain),
      row("std::runtime_error", std::runtime_error("other"), Status::uncertain),
      row("an int", 3, Status::uncertain),
      {"no error", nullptr, Status::uncertain},
  };
}

TEST(TokenOwnerReplyStatus, FromErrorFollowsTheTable) {
  for (const auto& entry : errorTable()) {
    EXPECT_EQ(Status::fromError(entry.error).rawValue(), entry.expected.rawValue()) << entry.name;
  }
}

TEST(TokenOwnerReplyStatus, FailureForEveryStatus) {
  const std::pair<std::int64_t, TokenFailure> rows[] = {
      {0, TokenFailure::uncertainOutcome},
      {1, TokenFailure::invalidCode},
      {2, TokenFailure::canceled},
      {3, TokenFailure::uncertainOutcome},
      {4, TokenFailure::notAuthenticated},
      {5, TokenFailure::requestChanged},
      {6, TokenFailure::expired},
      {7, TokenFailure::unavailable},
      {8, TokenFailure::uncertainOutcome},
      {-1, TokenFailure::uncertainOutcome},
      {std::numeric_limits<std::int64_t>::min(), TokenFailure::uncertainOutcome},
      {std::numeric_limits<std::int64_t>::max(), TokenFailure::uncertainOutcome},
  };
  for (const auto& [status, failure] : rows) {
    EXPECT_EQ(Status::failure(status), failure) << status << " gave " << Status::failure(status).what();
  }
}

// What the extension makes of a status, the app makes into the same status again; only
// notAuthenticated comes from the connection's notSignedIn alone, so its failure reads as uncertain.
TEST(TokenOwnerReplyStatus, FailuresOfTheNamedStatusesMapBack) {
  for (const auto status : {Status::invalidCode, Status::canceled, Status::requestChanged, Status::expired,
                            Status::unavailable}) {
    const auto failure = Status::failure(status.rawValue());
    EXPECT_EQ(Status::fromError(std::make_exception_ptr(failure)).rawValue(), status.rawValue());
  }
  EXPECT_EQ(Status::fromError(std::make_exception_ptr(Status::failure(Status::notAuthenticated.rawValue()))),
            Status::uncertain);
}

}  // namespace
}  // namespace corvanta

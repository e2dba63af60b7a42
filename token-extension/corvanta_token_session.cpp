#include "token-extension/corvanta_token_session.hpp"

#include "token-extension/corvanta_token.hpp"
#include "token-extension/make_token_error.hpp"
#include "token-extension/one_signature_auth_operation.hpp"
#include "token-support/token_failure.hpp"

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace corvanta {

using platform::tokenkit::AuthOperation;
using platform::tokenkit::Operation;
using platform::tokenkit::Result;

std::optional<SigningAlgorithm> matchSigningAlgorithm(const platform::tokenkit::KeyAlgorithm& algorithm) {
  for (const auto candidate : SigningAlgorithm::allCases()) {
    if (algorithm.isAlgorithm(candidate.securityAlgorithm())) return candidate;
  }
  return std::nullopt;
}

CorvantaTokenSession::CorvantaTokenSession(std::shared_ptr<CorvantaToken> token, TokenIdentity identity,
                                           std::shared_ptr<TokenSigningTransport> transport,
                                           TokenExtensionClocks clocks)
    : TokenSession(std::move(token)),
      gate_(std::make_shared<TokenApprovalGate>(identity, clocks.date, *clocks.ticks)),
      identity_(std::move(identity)),
      transport_(std::move(transport)),
      clocks_(std::move(clocks)) {}

bool CorvantaTokenSession::supports(Operation operation, const platform::tokenkit::ObjectID& key,
                                    const platform::tokenkit::KeyAlgorithm& algorithm) {
  if (operation != Operation::signData) return false;
  const auto* keyObjectID = std::get_if<std::string>(&key);
  if (!keyObjectID || *keyObjectID != identity_.keyObjectID()) return false;
  const auto signingAlgorithm = matchSigningAlgorithm(algorithm);
  if (!signingAlgorithm) return false;
  try {
    return identity_.validatedProfile(clocks_.date()).key().supports(*signingAlgorithm);
  } catch (...) {
    // A certificate that cannot be used now supports nothing; the question reports no error.
    return false;
  }
}

Result<platform::Bytes> CorvantaTokenSession::signData(const platform::Bytes& data,
                                                       const platform::tokenkit::ObjectID& key,
                                                       const platform::tokenkit::KeyAlgorithm& algorithm) {
  const auto* keyObjectID = std::get_if<std::string>(&key);
  const auto signingAlgorithm = matchSigningAlgorithm(algorithm);
  if (!keyObjectID || !signingAlgorithm) return makeTokenError(TokenFailure::unsupported);
  try {
    return gate_->signature(*keyObjectID, *signingAlgorithm, data, clocks_.continuous->now());
  } catch (...) {
    return makeTokenError(std::current_exception());
  }
}

Result<std::unique_ptr<AuthOperation>> CorvantaTokenSession::beginAuth(
    Operation operation, const platform::tokenkit::Constraint& constraint) {
  const auto* text = std::get_if<std::string>(&constraint);
  if (operation != Operation::signData || !text || *text != TokenIdentity::approvalConstraint) {
    return makeTokenError(TokenFailure::unsupported);
  }
  std::optional<platform::foundation::UUID> approvalID;
  try {
    approvalID = gate_->pendingApproval(clocks_.continuous->now());
  } catch (...) {
    return makeTokenError(std::current_exception());
  }
  if (!approvalID) return std::make_unique<AuthOperation>();
  return std::unique_ptr<AuthOperation>(
      std::make_unique<OneSignatureAuthOperation>(gate_, *approvalID, transport_, *clocks_.continuous));
}

}  // namespace corvanta

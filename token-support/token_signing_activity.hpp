#pragma once

#include "sign-core/signing_attribution.hpp"
#include "token-support/token_owner_reply_status.hpp"

#include <cstdint>
#include <optional>

namespace corvanta {

// The signing owner's counters as the app shows them, since the owner's last activation.
struct TokenSigningActivity {
  std::int64_t acceptedRequests = 0;
  std::int64_t verifiedSignatures = 0;
  // The outcome and the attribution of the last accepted request.
  std::optional<TokenOwnerReplyStatus> lastResult;
  std::optional<SigningAttribution> lastAttribution;

  friend bool operator==(const TokenSigningActivity&, const TokenSigningActivity&) = default;
};

}  // namespace corvanta

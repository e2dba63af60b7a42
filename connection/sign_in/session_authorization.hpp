#pragma once

#include "platform/foundation/uuid.hpp"

#include <string>

namespace corvanta {

// A bearer access token together with the sign-in generation of the OAuthSession that issued it.
// A caller uses it for one request and then asks the session whether the generation is still the
// current one (isCurrent), or hands it back on a 401 answer (invalidate): an answer that belongs
// to an earlier sign-in is never used, and an old token cannot end a newer sign-in.
struct SessionAuthorization {
  // Sent as "Authorization: Bearer " followed by this token.
  std::string accessToken;
  platform::foundation::UUID generation;

  friend bool operator==(const SessionAuthorization&, const SessionAuthorization&) = default;
};

}  // namespace corvanta

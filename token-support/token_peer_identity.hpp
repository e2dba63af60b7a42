#pragma once

#include <string_view>

namespace corvanta {

// The code identifiers of the system's three processes.
struct TokenPeerIdentity {
  // The token extension; also the identifier of the token driver its tokens are published under.
  static constexpr std::string_view driverID = "ro.corvanta.sign.development.Token";
  // The desktop app.
  static constexpr std::string_view ownerID = "ro.corvanta.sign.development";
  // The session-router agent.
  static constexpr std::string_view routerID = "ro.corvanta.sign.development.SessionRouter";
};

}  // namespace corvanta

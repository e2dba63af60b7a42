#pragma once

#include "platform/codesign/code_signing.hpp"

#include <array>
#include <string>
#include <string_view>

namespace corvanta {

// The code identifiers of the system's three processes, the requirement every peer on a path
// between them must satisfy, and the names of the router's two services.
struct TokenPeerIdentity {
  // The token extension; also the identifier of the token driver its tokens are published under.
  static constexpr std::string_view driverID = "ro.corvanta.sign.development.Token";
  // The desktop app.
  static constexpr std::string_view ownerID = "ro.corvanta.sign.development";
  // The session-router agent.
  static constexpr std::string_view routerID = "ro.corvanta.sign.development.SessionRouter";

  static constexpr std::array<std::string_view, 3> knownIDs{driverID, ownerID, routerID};

  // The requirement text for the process `identifier` of team `teamID`. Throws
  // TokenFailure::signingSetupRequired unless the team identifier is exactly 10 capital letters
  // or digits and the identifier is exactly one of the three above.
  static std::string requirement(std::string_view teamID, std::string_view identifier);

  // The team identifier of the running process's own code identity, checked as requirement
  // checks it. Throws TokenFailure::signingSetupRequired when the identity cannot be read, the
  // process is unsigned, or its team identifier is malformed: such a process opens no path.
  static std::string currentTeamID(const platform::codesign::CodeSigning& codeSigning);

  // The router's registration service (the app registers its endpoint there) and its directory
  // service (the extension looks the endpoint up), for the team read at run time.
  static std::string registrationServiceName(std::string_view teamID);
  static std::string directoryServiceName(std::string_view teamID);
};

}  // namespace corvanta

#include "token-support/token_peer_identity.hpp"

#include "token-support/token_failure.hpp"

#include <algorithm>
#include <utility>

namespace corvanta {

namespace {

constexpr std::size_t teamIDLength = 10;

bool isTeamIDCharacter(char character) {
  return (character >= 'A' && character <= 'Z') || (character >= '0' && character <= '9');
}

bool isValidTeamID(std::string_view teamID) {
  return teamID.size() == teamIDLength && std::all_of(teamID.begin(), teamID.end(), isTeamIDCharacter);
}

bool isKnownID(std::string_view identifier) {
  const auto& known = TokenPeerIdentity::knownIDs;
  return std::find(known.begin(), known.end(), identifier) != known.end();
}

std::string serviceName(std::string_view teamID, std::string_view service) {
  std::string name(teamID);
  name += '.';
  name += TokenPeerIdentity::routerID;
  name += service;
  return name;
}

}  // namespace

std::string TokenPeerIdentity::requirement(std::string_view teamID, std::string_view identifier) {
  if (!isValidTeamID(teamID) || !isKnownID(identifier)) throw TokenFailure::signingSetupRequired;
  std::string text = "anchor apple generic and certificate leaf[subject.OU] = \"";
  text += teamID;
  text += "\" and identifier \"";
  text += identifier;
  text += '"';
  return text;
}

std::string TokenPeerIdentity::currentTeamID(const platform::codesign::CodeSigning& codeSigning) {
  const auto identity = codeSigning.selfIdentity();
  if (!identity) throw TokenFailure::signingSetupRequired;
  auto teamID = identity->teamID();
  if (!teamID) throw TokenFailure::signingSetupRequired;
  requirement(*teamID, ownerID);
  return std::move(*teamID);
}

std::string TokenPeerIdentity::registrationServiceName(std::string_view teamID) {
  return serviceName(teamID, ".Owner");
}

std::string TokenPeerIdentity::directoryServiceName(std::string_view teamID) {
  return serviceName(teamID, ".Token");
}

}  // namespace corvanta

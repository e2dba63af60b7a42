#include "platform/codesign/requirement.hpp"

namespace platform::codesign {

namespace {

constexpr std::string_view anchorAndTeamPrefix = "anchor apple generic and certificate leaf[subject.OU] = \"";
constexpr std::string_view identifierPrefix = "\" and identifier \"";
constexpr std::string_view closingQuote = "\"";

bool consume(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

// The quoted value runs to the next double quote; its characters never include one, so there is
// no escaping to undo.
std::string_view valueUpToQuote(std::string_view& text) {
  const auto end = text.find('"');
  const auto value = text.substr(0, end == std::string_view::npos ? text.size() : end);
  text.remove_prefix(value.size());
  return value;
}

}  // namespace

std::optional<Requirement> Requirement::parse(std::string_view text) {
  if (!consume(text, anchorAndTeamPrefix)) return std::nullopt;
  const auto teamID = valueUpToQuote(text);
  if (!record_format::isValidTeamID(teamID) || !consume(text, identifierPrefix)) return std::nullopt;
  const auto identifier = valueUpToQuote(text);
  if (!record_format::isValidIdentifier(identifier) || !consume(text, closingQuote) || !text.empty()) {
    return std::nullopt;
  }
  return Requirement(std::string(teamID), std::string(identifier));
}

bool Requirement::isSatisfiedBy(const CodeIdentity& identity) const {
  return identity.record && identity.record->teamID == teamID_ && identity.record->identifier == identifier_;
}

bool checkProcess(const CodeSigning& codeSigning, pid_t processIdentifier, std::string_view requirementText) {
  const auto requirement = Requirement::parse(requirementText);
  if (!requirement) return false;
  const auto identity = codeSigning.identityOfProcess(processIdentifier);
  return identity && requirement->isSatisfiedBy(*identity);
}

}  // namespace platform::codesign

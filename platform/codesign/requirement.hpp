#pragma once

#include "platform/codesign/code_signing.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform::codesign {

// A code-signing requirement of the one form the system builds:
//
//   anchor apple generic and certificate leaf[subject.OU] = "T" and identifier "I"
//
// with exactly these blanks, T a team identifier and I an identifier in the characters of the
// identity record (record_format). Any other text, however close, does not parse: the layer
// evaluates only what it can evaluate exactly, never a looser reading of a richer language.
//
// "anchor apple generic" here means that the executable carries an identity record, that is,
// the project's build made it; "certificate leaf[subject.OU]" is the record's team identifier.
class Requirement {
public:
  static std::optional<Requirement> parse(std::string_view text);

  const std::string& teamID() const { return teamID_; }
  const std::string& identifier() const { return identifier_; }

  // The record exists and its team identifier and identifier equal the requirement's exactly.
  bool isSatisfiedBy(const CodeIdentity& identity) const;

  friend bool operator==(const Requirement&, const Requirement&) = default;

private:
  Requirement(std::string teamID, std::string identifier)
      : teamID_(std::move(teamID)), identifier_(std::move(identifier)) {}

  std::string teamID_;
  std::string identifier_;
};

}  // namespace platform::codesign

#pragma once

#include "platform/codesign/code_signing.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace platform::codesign::testing {

// Code identities a test sets: its own and those of processes by identifier. A process it set
// nothing for has no readable identity.
class FakeCodeSigning final : public CodeSigning {
public:
  FakeCodeSigning() = default;
  explicit FakeCodeSigning(std::optional<CodeIdentity> self) : self_(std::move(self)) {}

  void setSelf(std::optional<CodeIdentity> identity) { self_ = std::move(identity); }
  void setProcess(pid_t processIdentifier, CodeIdentity identity) {
    processes_.insert_or_assign(processIdentifier, std::move(identity));
  }
  void removeProcess(pid_t processIdentifier) { processes_.erase(processIdentifier); }

  std::optional<CodeIdentity> selfIdentity() const override { return self_; }
  std::optional<CodeIdentity> identityOfProcess(pid_t processIdentifier) const override {
    const auto found = processes_.find(processIdentifier);
    if (found == processes_.end()) return std::nullopt;
    return found->second;
  }

  // An identity with a record, as the build writes it for a program.
  static CodeIdentity signedAs(std::string identifier, std::string teamID) {
    return CodeIdentity{IdentityRecord{std::move(identifier), std::move(teamID)}};
  }

private:
  std::optional<CodeIdentity> self_;
  std::map<pid_t, CodeIdentity> processes_;
};

}  // namespace platform::codesign::testing

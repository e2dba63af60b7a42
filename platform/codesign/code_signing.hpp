#pragma once

#include "platform/codesign/identity_record_format.hpp"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform::codesign {

// The code identity of one executable. Without a record the executable is unsigned: it has no
// team identifier and satisfies no requirement.
struct CodeIdentity {
  std::optional<IdentityRecord> record;

  std::optional<std::string> teamID() const {
    if (!record) return std::nullopt;
    return record->teamID;
  }

  friend bool operator==(const CodeIdentity&, const CodeIdentity&) = default;
};

// Where code identities come from: the running process's own executable, and the executable of
// another running process.
class CodeSigning {
public:
  virtual ~CodeSigning() = default;

  // None when the process's own executable cannot be read.
  virtual std::optional<CodeIdentity> selfIdentity() const = 0;
  // None when there is no such process, it ends while it is read, or its executable cannot be
  // read: what is returned belongs to the process that had the identifier throughout the read.
  virtual std::optional<CodeIdentity> identityOfProcess(pid_t processIdentifier) const = 0;
};

// True only when the requirement text parses and the process's identity is read and satisfies it.
bool checkProcess(const CodeSigning& codeSigning, pid_t processIdentifier, std::string_view requirementText);

}  // namespace platform::codesign

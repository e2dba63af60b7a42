#pragma once

#include "platform/codesign/code_signing.hpp"

#include <ostream>

namespace platform::codesign {

// Failure messages name the identity instead of dumping its bytes.
inline void PrintTo(const CodeIdentity& identity, std::ostream* out) {
  if (!identity.record) {
    *out << "unsigned";
    return;
  }
  *out << identity.record->identifier << " of team " << identity.record->teamID;
}

}  // namespace platform::codesign

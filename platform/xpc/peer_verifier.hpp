#pragma once

#include <sys/types.h>

#include <string_view>

namespace platform::xpc {

// What the layer asks about code identity; it knows no rules of its own. The process's code-signing
// layer implements it; tests pass a fake. Both calls may come from any I/O thread at once.
class PeerVerifier {
public:
  virtual ~PeerVerifier() = default;
  // Whether the text is a requirement this verifier can evaluate.
  virtual bool isValidRequirement(std::string_view text) const = 0;
  // Whether the process satisfies the requirement; any doubt is false.
  virtual bool satisfies(pid_t pid, std::string_view requirementText) const = 0;
};

}  // namespace platform::xpc

#pragma once

#include "platform/codesign/code_signing.hpp"
#include "platform/xpc/peer_verifier.hpp"

#include <memory>

namespace corvanta {

// The peer checks of the system's XPC connections, answered by the code identities of processes:
// a requirement is one that the code-signing layer parses, and a peer satisfies it when its
// executable's identity record does.
class CodeSigningPeerVerifier final : public platform::xpc::PeerVerifier {
public:
  explicit CodeSigningPeerVerifier(std::shared_ptr<const platform::codesign::CodeSigning> codeSigning);

  bool isValidRequirement(std::string_view text) const override;
  bool satisfies(pid_t pid, std::string_view requirementText) const override;

private:
  std::shared_ptr<const platform::codesign::CodeSigning> codeSigning_;
};

}  // namespace corvanta

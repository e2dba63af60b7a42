#include "token-support/code_signing_peer_verifier.hpp"

#include "platform/codesign/requirement.hpp"

#include <stdexcept>
#include <utility>

namespace corvanta {

CodeSigningPeerVerifier::CodeSigningPeerVerifier(std::shared_ptr<const platform::codesign::CodeSigning> codeSigning)
    : codeSigning_(std::move(codeSigning)) {
  if (!codeSigning_) {
    throw std::invalid_argument("a peer verifier needs a source of code identities");
  }
}

bool CodeSigningPeerVerifier::isValidRequirement(std::string_view text) const {
  return platform::codesign::Requirement::parse(text).has_value();
}

bool CodeSigningPeerVerifier::satisfies(pid_t pid, std::string_view requirementText) const {
  return platform::codesign::checkProcess(*codeSigning_, pid, requirementText);
}

}  // namespace corvanta

#include "sign-core/signing_usage.hpp"

namespace corvanta {

std::optional<SigningUsage> SigningUsage::fromRawValue(std::string_view rawValue) {
  for (const auto usage : {clientAuthentication, documentSigning}) {
    if (usage.rawValue() == rawValue) return usage;
  }
  return std::nullopt;
}

std::string_view SigningUsage::rawValue() const {
  switch (case_) {
    case Case::clientAuthentication: return "client_authentication";
    case Case::documentSigning: break;
  }
  return "document_signing";
}

}  // namespace corvanta

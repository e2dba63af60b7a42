#include "connection/service/certificate_mode.hpp"

namespace corvanta {

std::optional<CertificateMode> CertificateMode::fromRawValue(std::string_view rawValue) {
  if (rawValue == "best_effort") return bestEffort;
  if (rawValue == "mandatory") return mandatory;
  return std::nullopt;
}

std::string_view CertificateMode::rawValue() const {
  switch (case_) {
    case Case::bestEffort: return "best_effort";
    case Case::mandatory: return "mandatory";
  }
  return {};
}

}  // namespace corvanta

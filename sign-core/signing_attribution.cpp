#include "sign-core/signing_attribution.hpp"

namespace corvanta {
namespace {

bool isBundleIDCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-' ||
         c == '_';
}

constexpr std::string_view classificationSuffix =
    "; source=macos_foreground_hint_v1; synthetic_profile=true; caller_verified=false; observed_app=";

}  // namespace

SigningAttribution::SigningAttribution(std::optional<std::string_view> observedBundleID, bool recognizedBrowser)
    : usage_(SigningUsage::documentSigning) {
  if (observedBundleID) {
    std::string cleaned;
    for (const char c : *observedBundleID) {
      if (isBundleIDCharacter(c)) cleaned.push_back(c);
    }
    if (cleaned.size() > maximumBundleIDLength) cleaned.resize(maximumBundleIDLength);
    if (!cleaned.empty()) observedBundleID_ = std::move(cleaned);
  }
  if (recognizedBrowser && observedBundleID_) usage_ = SigningUsage::clientAuthentication;
}

std::vector<std::pair<std::string, std::string>> SigningAttribution::callerFields() const {
  const std::string observed = observedBundleID_.value_or("unknown");
  if (usage_ == SigningUsage::clientAuthentication) {
    // "signed_valid" is the status the service expects of an authentication caller; the
    // classification beside it states plainly that the caller was not verified.
    return {
        {"signature_status", "signed_valid"},
        {"publisher_cn", std::string(profilePublisher)},
        {"product_name", std::string(profileProduct)},
        {"image_path", std::string(profileImage)},
        {"local_classification", "authentication" + std::string(classificationSuffix) + observed},
    };
  }
  return {
      {"signature_status", "not_verified"},
      {"publisher_cn", ""},
      {"product_name", "Corvanta macOS signing hint v1"},
      {"image_path", "corvanta-macos-signing-hint-v1"},
      {"local_classification", "signing" + std::string(classificationSuffix) + observed},
  };
}

}  // namespace corvanta

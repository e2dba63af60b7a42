#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace corvanta {

// The one error of the token path, from the token host's request for a signature until the app's
// answer comes back. It carries no text: where it reaches the user or another component it is
// translated there (a reply status across processes, a token error in the extension, a status
// text in the app). The cases are in their fixed order; the order has no meaning on any wire.
class TokenFailure : public std::exception {
public:
  enum class Case : std::uint8_t {
    invalidConfiguration,
    unavailable,
    unsupported,
    invalidInput,
    approvalRequired,
    noPendingRequest,
    requestChanged,
    expired,
    alreadySubmitted,
    invalidCode,
    invalidSignature,
    canceled,
    uncertainOutcome,
    signingSetupRequired,
    endpointUnavailable,
    ownerUnavailable,
    notAuthenticated,
    ownerReplyUnavailable,
  };

  static const TokenFailure invalidConfiguration;
  static const TokenFailure unavailable;
  static const TokenFailure unsupported;
  static const TokenFailure invalidInput;
  static const TokenFailure approvalRequired;
  static const TokenFailure noPendingRequest;
  static const TokenFailure requestChanged;
  static const TokenFailure expired;
  static const TokenFailure alreadySubmitted;
  static const TokenFailure invalidCode;
  static const TokenFailure invalidSignature;
  static const TokenFailure canceled;
  static const TokenFailure uncertainOutcome;
  static const TokenFailure signingSetupRequired;
  static const TokenFailure endpointUnavailable;
  static const TokenFailure ownerUnavailable;
  static const TokenFailure notAuthenticated;
  static const TokenFailure ownerReplyUnavailable;

  explicit TokenFailure(Case failureCase) : case_(failureCase) {}

  Case errorCase() const { return case_; }

  // The case name, for debugging; never shown to the user.
  const char* what() const noexcept override;

  friend bool operator==(const TokenFailure& a, const TokenFailure& b) { return a.case_ == b.case_; }

private:
  Case case_;
};

inline const TokenFailure TokenFailure::invalidConfiguration{Case::invalidConfiguration};
inline const TokenFailure TokenFailure::unavailable{Case::unavailable};
inline const TokenFailure TokenFailure::unsupported{Case::unsupported};
inline const TokenFailure TokenFailure::invalidInput{Case::invalidInput};
inline const TokenFailure TokenFailure::approvalRequired{Case::approvalRequired};
inline const TokenFailure TokenFailure::noPendingRequest{Case::noPendingRequest};
inline const TokenFailure TokenFailure::requestChanged{Case::requestChanged};
inline const TokenFailure TokenFailure::expired{Case::expired};
inline const TokenFailure TokenFailure::alreadySubmitted{Case::alreadySubmitted};
inline const TokenFailure TokenFailure::invalidCode{Case::invalidCode};
inline const TokenFailure TokenFailure::invalidSignature{Case::invalidSignature};
inline const TokenFailure TokenFailure::canceled{Case::canceled};
inline const TokenFailure TokenFailure::uncertainOutcome{Case::uncertainOutcome};
inline const TokenFailure TokenFailure::signingSetupRequired{Case::signingSetupRequired};
inline const TokenFailure TokenFailure::endpointUnavailable{Case::endpointUnavailable};
inline const TokenFailure TokenFailure::ownerUnavailable{Case::ownerUnavailable};
inline const TokenFailure TokenFailure::notAuthenticated{Case::notAuthenticated};
inline const TokenFailure TokenFailure::ownerReplyUnavailable{Case::ownerReplyUnavailable};

}  // namespace corvanta

template <>
struct std::hash<corvanta::TokenFailure> {
  std::size_t operator()(const corvanta::TokenFailure& failure) const noexcept {
    return std::hash<std::uint8_t>{}(static_cast<std::uint8_t>(failure.errorCase()));
  }
};

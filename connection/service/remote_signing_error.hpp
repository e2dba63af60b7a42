#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvanta {

// What the remote signer reports when the service did not give a verified signature. Every case
// carries a fixed text for the user; only locked carries a value, the minutes the user must wait.
class RemoteSigningError : public std::exception {
public:
  enum class Case {
    locked,
    invalidCode,
    incorrectCode,
    invalidRequest,
    alreadySubmitted,
    operationInProgress,
    rejected,
    outcomeUnknown,
    invalidSignature,
  };

  static RemoteSigningError locked(std::int64_t minutes) { return RemoteSigningError(Case::locked, minutes); }
  static const RemoteSigningError invalidCode;
  static const RemoteSigningError incorrectCode;
  static const RemoteSigningError invalidRequest;
  static const RemoteSigningError alreadySubmitted;
  static const RemoteSigningError operationInProgress;
  static const RemoteSigningError rejected;
  static const RemoteSigningError outcomeUnknown;
  static const RemoteSigningError invalidSignature;

  Case errorCase() const { return case_; }
  // The minutes of locked; zero for every other case.
  std::int64_t minutes() const { return minutes_; }

  // The text shown to the user.
  std::string errorDescription() const;

  // The case name, for debugging; never shown to the user.
  const char* what() const noexcept override;

  friend bool operator==(const RemoteSigningError& a, const RemoteSigningError& b) {
    return a.case_ == b.case_ && a.minutes_ == b.minutes_;
  }

private:
  explicit RemoteSigningError(Case errorCase, std::int64_t minutes = 0) : case_(errorCase), minutes_(minutes) {}

  Case case_;
  std::int64_t minutes_;
};

inline const RemoteSigningError RemoteSigningError::invalidCode{Case::invalidCode};
inline const RemoteSigningError RemoteSigningError::incorrectCode{Case::incorrectCode};
inline const RemoteSigningError RemoteSigningError::invalidRequest{Case::invalidRequest};
inline const RemoteSigningError RemoteSigningError::alreadySubmitted{Case::alreadySubmitted};
inline const RemoteSigningError RemoteSigningError::operationInProgress{Case::operationInProgress};
inline const RemoteSigningError RemoteSigningError::rejected{Case::rejected};
inline const RemoteSigningError RemoteSigningError::outcomeUnknown{Case::outcomeUnknown};
inline const RemoteSigningError RemoteSigningError::invalidSignature{Case::invalidSignature};

}  // namespace corvanta

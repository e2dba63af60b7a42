#pragma once

#include <exception>

namespace corvanta {

// The one error of the signing core. It carries no user text: callers that show something to
// the user map it first.
class SigningError : public std::exception {
public:
  enum class Case {
    invalidDigestLength,
    unsupportedAlgorithm,
    invalidPublicKey,
    algorithmKeyMismatch,
    invalidSignature,
    invalidContext,
    notConnected,
    requestInProgress,
    invalidDeadline,
    requestExpired,
    unknownRequest,
    alreadySubmitted,
    notSubmitted,
  };

  static SigningError invalidDigestLength(int expected, int actual);
  static const SigningError unsupportedAlgorithm;
  static const SigningError invalidPublicKey;
  static const SigningError algorithmKeyMismatch;
  static const SigningError invalidSignature;
  static const SigningError invalidContext;
  static const SigningError notConnected;
  static const SigningError requestInProgress;
  static const SigningError invalidDeadline;
  static const SigningError requestExpired;
  static const SigningError unknownRequest;
  static const SigningError alreadySubmitted;
  static const SigningError notSubmitted;

  Case errorCase() const { return case_; }
  // Only invalidDigestLength carries these; they are zero for every other case.
  int expected() const { return expected_; }
  int actual() const { return actual_; }

  // The case name, for debugging; never shown to the user.
  const char* what() const noexcept override;

  friend bool operator==(const SigningError& a, const SigningError& b) {
    return a.case_ == b.case_ && a.expected_ == b.expected_ && a.actual_ == b.actual_;
  }

private:
  explicit SigningError(Case errorCase, int expected = 0, int actual = 0)
      : case_(errorCase), expected_(expected), actual_(actual) {}

  Case case_;
  int expected_;
  int actual_;
};

inline const SigningError SigningError::unsupportedAlgorithm{Case::unsupportedAlgorithm};
inline const SigningError SigningError::invalidPublicKey{Case::invalidPublicKey};
inline const SigningError SigningError::algorithmKeyMismatch{Case::algorithmKeyMismatch};
inline const SigningError SigningError::invalidSignature{Case::invalidSignature};
inline const SigningError SigningError::invalidContext{Case::invalidContext};
inline const SigningError SigningError::notConnected{Case::notConnected};
inline const SigningError SigningError::requestInProgress{Case::requestInProgress};
inline const SigningError SigningError::invalidDeadline{Case::invalidDeadline};
inline const SigningError SigningError::requestExpired{Case::requestExpired};
inline const SigningError SigningError::unknownRequest{Case::unknownRequest};
inline const SigningError SigningError::alreadySubmitted{Case::alreadySubmitted};
inline const SigningError SigningError::notSubmitted{Case::notSubmitted};

inline SigningError SigningError::invalidDigestLength(int expected, int actual) {
  return SigningError(Case::invalidDigestLength, expected, actual);
}

}  // namespace corvanta

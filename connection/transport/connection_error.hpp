#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvanta {

// The one error of the service connection. Every case carries a fixed text for the user; only
// requestFailed carries a value, the HTTP status that the service answered with.
class ConnectionError : public std::exception {
public:
  enum class Case {
    requestFailed,
    invalidResponse,
    responseTooLarge,
    notSignedIn,
    staleSession,
    invalidCallback,
    authorizationDenied,
    loginExpired,
    callbackUnavailable,
    invalidCertificate,
    unknownCertificateMode,
    ambiguousCertificates,
  };

  static ConnectionError requestFailed(std::int64_t status) { return ConnectionError(Case::requestFailed, status); }
  static const ConnectionError invalidResponse;
  static const ConnectionError responseTooLarge;
  static const ConnectionError notSignedIn;
  static const ConnectionError staleSession;
  static const ConnectionError invalidCallback;
  static const ConnectionError authorizationDenied;
  static const ConnectionError loginExpired;
  static const ConnectionError callbackUnavailable;
  static const ConnectionError invalidCertificate;
  static const ConnectionError unknownCertificateMode;
  static const ConnectionError ambiguousCertificates;

  Case errorCase() const { return case_; }
  // The HTTP status of requestFailed; zero for every other case.
  std::int64_t status() const { return status_; }

  // The text shown to the user.
  std::string errorDescription() const;

  // The case name, for debugging; never shown to the user.
  const char* what() const noexcept override;

  friend bool operator==(const ConnectionError& a, const ConnectionError& b) {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

private:
  explicit ConnectionError(Case errorCase, std::int64_t status = 0) : case_(errorCase), status_(status) {}

  Case case_;
  std::int64_t status_;
};

inline const ConnectionError ConnectionError::invalidResponse{Case::invalidResponse};
inline const ConnectionError ConnectionError::responseTooLarge{Case::responseTooLarge};
inline const ConnectionError ConnectionError::notSignedIn{Case::notSignedIn};
inline const ConnectionError ConnectionError::staleSession{Case::staleSession};
inline const ConnectionError ConnectionError::invalidCallback{Case::invalidCallback};
inline const ConnectionError ConnectionError::authorizationDenied{Case::authorizationDenied};
inline const ConnectionError ConnectionError::loginExpired{Case::loginExpired};
inline const ConnectionError ConnectionError::callbackUnavailable{Case::callbackUnavailable};
inline const ConnectionError ConnectionError::invalidCertificate{Case::invalidCertificate};
inline const ConnectionError ConnectionError::unknownCertificateMode{Case::unknownCertificateMode};
inline const ConnectionError ConnectionError::ambiguousCertificates{Case::ambiguousCertificates};

}  // namespace corvanta

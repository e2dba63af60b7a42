#include "connection/transport/connection_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvanta {
namespace {

using Case = ConnectionError::Case;

struct TextRow {
  ConnectionError error;
  Case errorCase;
  const char* name;
  std::string text;
};

const TextRow table[] = {
    {ConnectionError::requestFailed(404), Case::requestFailed, "requestFailed",
     "The service could not complete the request (HTTP 404)."},
    {ConnectionError::invalidResponse, Case::invalidResponse, "invalidResponse",
     "The service returned an unexpected response. Please try again."},
    {ConnectionError::responseTooLarge, Case::responseTooLarge, "responseTooLarge",
     "The service response exceeded the allowed size."},
    {ConnectionError::notSignedIn, Case::notSignedIn, "notSignedIn", "Your session has ended. Please sign in again."},
    {ConnectionError::staleSession, Case::staleSession, "staleSession", "The connection changed. Please start again."},
    {ConnectionError::invalidCallback, Case::invalidCallback, "invalidCallback",
     "The sign-in response could not be verified. Please sign in again."},
    {ConnectionError::authorizationDenied, Case::authorizationDenied, "authorizationDenied",
     "Sign-in was not completed. Please try again when you\xE2\x80\x99re ready."},
    {ConnectionError::loginExpired, Case::loginExpired, "loginExpired", "Sign-in timed out. Please start again."},
    {ConnectionError::callbackUnavailable, Case::callbackUnavailable, "callbackUnavailable",
     "The sign-in callback port is unavailable. Close another Corvanta Sign instance and try again."},
    {ConnectionError::invalidCertificate, Case::invalidCertificate, "invalidCertificate",
     "The service returned a certificate that could not be read."},
    {ConnectionError::unknownCertificateMode, Case::unknownCertificateMode, "unknownCertificateMode",
     "The service returned an unsupported certificate configuration."},
    {ConnectionError::ambiguousCertificates, Case::ambiguousCertificates, "ambiguousCertificates",
     "The service returned more than one certificate for the same purpose."},
};

TEST(ConnectionError, EveryCaseInDeclarationOrderWithItsText) {
  ASSERT_EQ(std::size(table), 12u);
  for (std::size_t i = 0; i < std::size(table); ++i) {
    const auto& row = table[i];
    EXPECT_EQ(static_cast<std::size_t>(row.error.errorCase()), i) << row.name;
    EXPECT_EQ(row.error.errorCase(), row.errorCase) << row.name;
    EXPECT_EQ(row.error.errorDescription(), row.text) << row.name;
    EXPECT_STREQ(row.error.what(), row.name);
  }
}

TEST(ConnectionError, EqualityIsByCaseAndStatus) {
  for (std::size_t i = 0; i < std::size(table); ++i) {
    for (std::size_t j = 0; j < std::size(table); ++j) {
      EXPECT_EQ(table[i].error == table[j].error, i == j) << table[i].name << " / " << table[j].name;
    }
  }
  EXPECT_EQ(ConnectionError::requestFailed(500), ConnectionError::requestFailed(500));
  EXPECT_NE(ConnectionError::requestFailed(500), ConnectionError::requestFailed(502));
  EXPECT_EQ(ConnectionError::requestFailed(502).status(), 502);
  EXPECT_EQ(ConnectionError::invalidResponse.status(), 0);
}

TEST(ConnectionError, RequestFailedShowsAnyStatusInPlainDecimal) {
  EXPECT_EQ(ConnectionError::requestFailed(302).errorDescription(),
            "The service could not complete the request (HTTP 302).");
  EXPECT_EQ(ConnectionError::requestFailed(10000).errorDescription(),
            "The service could not complete the request (HTTP 10000).");
  EXPECT_EQ(ConnectionError::requestFailed(-1).errorDescription(),
            "The service could not complete the request (HTTP -1).");
}

}  // namespace
}  // namespace corvanta

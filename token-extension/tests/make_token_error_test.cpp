#include "token-extension/make_token_error.hpp"

#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "sign-core/signing_error.hpp"
#include "token-extension/tests/token_extension_test_support.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <set>
#include <stdexcept>
#include <string>

namespace corvanta {
namespace {

using namespace corvanta::testing;

TEST(MakeTokenError, EveryFailureHasItsCodeAndText) {
  std::set<std::uint8_t> covered;
  for (const auto& row : expectedTokenErrors()) {
    SCOPED_TRACE(row.failure.what());
    covered.insert(static_cast<std::uint8_t>(row.failure.errorCase()));
    const Error expected(row.code, row.text);
    EXPECT_EQ(makeTokenError(row.failure), expected);
    // Thrown and caught as whatever, it maps the same.
    EXPECT_EQ(makeTokenError(std::make_exception_ptr(row.failure)), expected);
  }
  // The table names every case, each once.
  EXPECT_EQ(covered.size(), expectedTokenErrors().size());
  EXPECT_EQ(*covered.rbegin(), static_cast<std::uint8_t>(TokenFailure::Case::ownerReplyUnavailable));
}

TEST(MakeTokenError, ForeignErrorsAreCommunicationErrorsWithoutText) {
  struct Row {
    std::string name;
    std::exception_ptr error;
  };
  const std::vector<Row> rows{
      {"a decoding error of configuration data",
       [] {
         try {
           TokenIdentity::decode(platform::bytesOf(std::string("{\"version\":")));
         } catch (...) {
           return std::current_exception();
         }
         return std::exception_ptr();
       }()},
      {"a digest of the wrong length", std::make_exception_ptr(SigningError::invalidDigestLength(32, 31))},
      {"a signature the signing core refused", std::make_exception_ptr(SigningError::invalidSignature)},
      {"a runtime error", std::make_exception_ptr(std::runtime_error("The token session is no longer available."))},
      {"something that is no exception", std::make_exception_ptr(42)},
      {"no error at all", std::exception_ptr()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto error = makeTokenError(row.error);
    EXPECT_EQ(error.code, -2);
    EXPECT_FALSE(error.description.has_value());
  }
  ASSERT_TRUE(rows[0].error);
  EXPECT_THROW(std::rethrow_exception(rows[0].error), platform::foundation::DecodingError);
}

// What an application may show as it is: a sentence, with nothing left to fill in.
TEST(MakeTokenError, EveryTextIsAFinishedSentence) {
  for (const auto& row : expectedTokenErrors()) {
    const auto error = makeTokenError(row.failure);
    if (!error.description) continue;
    const auto& text = *error.description;
    SCOPED_TRACE(text);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '.');
    EXPECT_EQ(text.find_first_of("%{}$<>\\@"), std::string::npos);
    EXPECT_EQ(text.find(".."), std::string::npos);
    EXPECT_NE(text.front(), ' ');
  }
}

}  // namespace
}  // namespace corvanta

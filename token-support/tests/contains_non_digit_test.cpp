#include "token-support/contains_non_digit.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace corvanta {
namespace {

TEST(ContainsNonDigit, LooksAtEveryUTF8Byte) {
  const std::pair<std::string_view, bool> rows[] = {
      {"", false},
      {"123456", false},
      {"0", false},
      {"9999999999", false},
      {"12a456", true},
      {"12345 ", true},
      {" 12345", true},
      {"12/456", true},  // '/' is the byte just below '0'
      {"12:456", true},  // ':' is the byte just above '9'
      {"\xD9\xA1\xD9\xA2\xD9\xA3", true},  // Arabic-Indic digits one to three
      {"\xEF\xBC\x91", true},              // fullwidth digit one
      {std::string_view("123\0" "56", 6), true},
      {"12345\xFF", true},
  };
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(containsNonDigit(text), expected) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace corvanta

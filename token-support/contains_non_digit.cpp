#include "token-support/contains_non_digit.hpp"

#include <algorithm>

namespace corvanta {

bool containsNonDigit(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char byte) { return byte < '0' || byte > '9'; });
}

}  // namespace corvanta

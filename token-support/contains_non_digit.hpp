#pragma once

#include <string_view>

namespace corvanta {

// Whether any UTF-8 byte of the text lies outside the ASCII digits "0" to "9". The empty text has
// none, so a code check pairs this with its length test: exactly 6 bytes and no non-digit admit
// exactly the six-digit ASCII codes (digits of other scripts are multi-byte and refused).
bool containsNonDigit(std::string_view text);

}  // namespace corvanta

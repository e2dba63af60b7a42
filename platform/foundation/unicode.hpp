#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation::unicode {

// One Unicode scalar and the number of UTF-8 bytes it took.
struct DecodedScalar {
  char32_t scalar;
  std::size_t length;

  friend bool operator==(const DecodedScalar&, const DecodedScalar&) = default;
};

// The scalar at the start of the text, decoded strictly: overlong forms, surrogates (U+D800 to
// U+DFFF), values above U+10FFFF, stray continuation bytes and truncated sequences give none, as
// does empty text.
std::optional<DecodedScalar> decodeFirstScalar(std::string_view text);

// The scalars of the text, or none when any part of it is not well-formed UTF-8.
std::optional<std::u32string> decodeUTF8(std::string_view text);

bool isValidUTF8(std::string_view text);

// The white space and newline set: TAB to CR (U+0009 to U+000D), SPACE, NEXT LINE (U+0085), the
// space separators (U+00A0, U+1680, U+2000 to U+200A, U+202F, U+205F, U+3000) and the line and
// paragraph separators (U+2028, U+2029). ZERO WIDTH SPACE (U+200B) and the byte order mark (U+FEFF)
// are not in it.
bool isWhitespaceOrNewline(char32_t scalar);

// The newline subset: U+000A to U+000D, U+0085, U+2028 and U+2029.
bool isNewline(char32_t scalar);

// The text without its leading and trailing white space and newlines. A byte that is not
// well-formed UTF-8 is not white space, so trimming stops at it.
std::string_view trimmingWhitespacesAndNewlines(std::string_view text);

}  // namespace platform::foundation::unicode

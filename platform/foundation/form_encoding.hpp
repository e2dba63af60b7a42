#pragma once

#include <map>
#include <string>
#include <string_view>

namespace platform::foundation {

// The text with every byte outside the 66 unreserved characters of RFC 3986
// (A-Z a-z 0-9 - . _ ~) written as '%' and two upper-case hexadecimal digits. Multi-byte UTF-8
// characters become one escape per byte; a space becomes %20, never '+'.
std::string percentEncodedUnreserved(std::string_view text);

// An "application/x-www-form-urlencoded" body: the fields ordered by key, byte by byte (the order
// of std::map<std::string, ...>), each written as key=value with both percent-encoded as above,
// joined by '&'. No fields give the empty text.
std::string formURLEncoded(const std::map<std::string, std::string>& fields);

}  // namespace platform::foundation

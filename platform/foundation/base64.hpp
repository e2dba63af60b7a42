#pragma once

#include "platform/foundation/bytes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

// Standard Base64 (RFC 4648 section 4) with padding and without line breaks.
std::string base64Encoded(ByteView bytes);

// Strict standard Base64: only the 64 characters of the alphabet, a length that is a multiple of
// four, and '=' only as the last one or two characters. Whitespace, line breaks, the URL-safe
// characters '-' and '_', a missing '=' and any other byte give none. The bits that padding leaves
// unused must be zero, so every accepted text is exactly what base64Encoded gives for its bytes:
// a certificate or digest has one text, never several. Empty text gives empty bytes.
std::optional<Bytes> base64Decoded(std::string_view text);

// The URL-safe alphabet (RFC 4648 section 5, '-' and '_' for '+' and '/') without padding, as
// PKCE and the sign-in state use it: 32 bytes give 43 characters.
std::string base64URLEncoded(ByteView bytes);

}  // namespace platform::foundation

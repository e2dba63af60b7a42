#pragma once

// The text rules of an Assuan conversation (the line protocol a pinentry speaks): what a line may
// hold as itself, the %XX form of everything else, and the length of a line.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::tokenkit {

// The longest line either side may send, its closing LF included.
inline constexpr std::size_t assuanLineLimit = 1000;

// The text with every byte that cannot stand as itself in a line written as %XX (upper-case hex):
// '%' and the line ends CR and LF, which the protocol reserves, and the other control bytes (NUL
// to US, DEL), which a peer that reads lines as C strings or shows them on a terminal must not
// get raw. Every other byte, UTF-8 sequences included, is kept.
std::string escapeAssuanText(std::string_view text);

// Appends the decoded form of `escaped` (each %XX one byte, hex digits of either case) to `out`.
// False when a '%' is not followed by two hex digits, or when `out` would grow beyond `limit`
// bytes; what was appended until then stays, for the caller to wipe. `out` never grows beyond
// `limit`, so a buffer reserved to it is never moved.
bool appendDecodedAssuanText(std::string_view escaped, std::string& out, std::size_t limit);

// The command line "VERB argument\n" with the argument escaped. An argument too long for one
// line is cut where neither an escape nor a UTF-8 sequence is split, and ends with "…", so that
// the peer shows a shortened text rather than refusing the line.
std::string assuanCommandLine(std::string_view verb, std::string_view argument);

}  // namespace platform::tokenkit

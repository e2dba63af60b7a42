#pragma once

// What a pinentry sends back, read as if the pinentry were hostile: lines of bounded length, each
// one of the few forms the protocol has, anything else refused.

#include "platform/tokenkit/prompt/assuan_text.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::tokenkit {

struct AssuanResponse {
  enum class Kind {
    ok,       // "OK" or "OK text": the command succeeded
    error,    // "ERR code text": the command failed, a cancelled entry included
    data,     // "D escaped-data"
    status,   // "S keyword text": information the client may ignore
    comment,  // "#text"
    inquire,  // "INQUIRE keyword": the server asks the client for data
  };

  Kind kind;
  // What follows the keyword and its space: the escaped data of a data line, the text of the
  // others, empty when there is none. A view into the line it was parsed from.
  std::string_view argument;
  // The error number of an error line.
  std::uint32_t errorCode = 0;
};

// The response one line (without its LF) holds; none for anything that is not one of the forms
// above: an empty line, an unknown or misspelt keyword, a keyword run into its argument ("OKAY"),
// a data line without its space, an error line without a number, a raw CR.
std::optional<AssuanResponse> parseAssuanResponse(std::string_view line);

// Cuts a byte stream into lines, holding at most one line of assuanLineLimit bytes; it never
// moves its storage and wipes it when it goes, since a line may carry a secret.
class AssuanLineBuffer {
public:
  AssuanLineBuffer();
  ~AssuanLineBuffer();
  AssuanLineBuffer(const AssuanLineBuffer&) = delete;
  AssuanLineBuffer& operator=(const AssuanLineBuffer&) = delete;

  enum class Next {
    line,      // a complete line is available
    needMore,  // no complete line yet: read into space() and commit()
    overlong,  // the peer sent more than assuanLineLimit bytes without a line end
  };

  // The next complete line, without its LF, in `line`: a view that holds until the next call of
  // any member. Moves a partial line to the front to make room, so call it until it says needMore
  // before reading again.
  Next next(std::string_view& line);

  // Where the next bytes read go, and how many fit; then commit() how many were written.
  std::span<char> space();
  void commit(std::size_t count);

private:
  std::string storage_;
  std::size_t begin_ = 0;  // the first byte not yet given out as part of a line
  std::size_t end_ = 0;    // one past the last byte received
};

}  // namespace platform::tokenkit

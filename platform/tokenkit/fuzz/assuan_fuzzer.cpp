#include "platform/tokenkit/prompt/assuan_response.hpp"
#include "platform/tokenkit/prompt/assuan_text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace tokenkit = platform::tokenkit;
using Kind = tokenkit::AssuanResponse::Kind;

void require(bool condition) {
  if (!condition) std::abort();
}

// What a response says about its line holds for every line: the argument lies within it, and
// each kind has the shape its keyword promises.
void checkResponse(std::string_view line) {
  const auto response = tokenkit::parseAssuanResponse(line);
  if (!response) return;
  require(line.find_first_of("\r\n") == std::string_view::npos);
  require(response->argument.data() >= line.data() &&
          response->argument.data() + response->argument.size() == line.data() + line.size());
  switch (response->kind) {
    case Kind::ok:
      require(line == "OK" || line.starts_with("OK "));
      break;
    case Kind::error:
      require(line.starts_with("ERR ") && response->argument.front() >= '0' && response->argument.front() <= '9');
      break;
    case Kind::data: {
      require(line.starts_with("D "));
      std::string decoded;
      if (tokenkit::appendDecodedAssuanText(response->argument, decoded, 64)) {
        require(decoded.size() <= response->argument.size());
        require(tokenkit::escapeAssuanText(decoded).size() <= response->argument.size() * 3);
      }
      require(decoded.size() <= 64);
      break;
    }
    case Kind::status:
      require(line.starts_with("S ") && !response->argument.empty());
      break;
    case Kind::inquire:
      require(line.starts_with("INQUIRE ") && !response->argument.empty());
      break;
    case Kind::comment:
      require(line.starts_with("#"));
      break;
  }
}

// The input as a stream from a pinentry, read in chunks whose sizes the first byte picks.
void checkStream(std::string_view stream) {
  if (stream.empty()) return;
  const std::size_t chunk = static_cast<std::uint8_t>(stream.front()) % 64 + 1;
  stream.remove_prefix(1);
  tokenkit::AssuanLineBuffer buffer;
  for (;;) {
    std::string_view line;
    const auto next = buffer.next(line);
    if (next == tokenkit::AssuanLineBuffer::Next::overlong) return;
    if (next == tokenkit::AssuanLineBuffer::Next::line) {
      require(line.size() < tokenkit::assuanLineLimit && line.find('\n') == std::string_view::npos);
      checkResponse(line);
      continue;
    }
    if (stream.empty()) return;
    const auto space = buffer.space();
    require(!space.empty());
    const auto count = std::min({chunk, space.size(), stream.size()});
    std::copy_n(stream.begin(), count, space.begin());
    buffer.commit(count);
    stream.remove_prefix(count);
  }
}

// Whatever we send: escaping is undone exactly by decoding, and a command line is one line.
void checkText(std::string_view text) {
  const auto escaped = tokenkit::escapeAssuanText(text);
  require(escaped.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
  std::string decoded;
  require(tokenkit::appendDecodedAssuanText(escaped, decoded, text.size()));
  require(decoded == text);

  const auto line = tokenkit::assuanCommandLine("SETDESC", text);
  require(line.size() <= tokenkit::assuanLineLimit && line.back() == '\n');
  require(line.find_first_of("\r\n") == line.size() - 1);
  std::string shown;
  require(tokenkit::appendDecodedAssuanText(std::string_view(line).substr(8, line.size() - 9), shown, line.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkStream(input);
  checkResponse(input);
  checkText(input);
  return 0;
}

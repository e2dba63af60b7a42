// Reads arbitrary bytes as the request head that a browser sends to the loopback receiver. A
// refusal must be ConnectionError::invalidCallback; an accepted request must be of the form the
// parser promises and give the URL of its own request target. Anything else that escapes, a crash
// or a sanitizer report is a fault.
#include "connection/sign_in/callback_request.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/unicode.hpp"

#include <boost/url/url.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::string_view origin = "http://localhost:53682";

void checkAccepted(std::string_view text, const boost::urls::url& url) {
  if (text.size() > corvanta::maximumCallbackRequestByteCount) std::abort();
  if (!platform::foundation::unicode::isValidUTF8(text)) std::abort();
  // The blank line ends the text and occurs nowhere before.
  if (!text.ends_with("\r\n\r\n") || text.find("\r\n\r\n") != text.size() - 4) std::abort();
  if (!text.starts_with("GET /callback?")) std::abort();

  const auto lineEnd = text.find("\r\n");
  const auto requestLine = text.substr(0, lineEnd);
  if (!requestLine.ends_with(" HTTP/1.1")) std::abort();
  const auto target = requestLine.substr(4, requestLine.size() - 4 - 9);
  if (target.find(' ') != std::string_view::npos || target.find('#') != std::string_view::npos) std::abort();

  const std::string_view buffer = url.buffer();
  if (!buffer.starts_with(origin) || buffer.substr(origin.size()) != target) std::abort();
  if (url.scheme() != "http" || url.host() != "localhost" || url.port_number() != 53682) std::abort();
  if (url.has_fragment() || url.has_userinfo() || !url.has_query()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto url = corvanta::parseCallbackRequest(platform::ByteView(data, size));
    checkAccepted(text, url);
  } catch (const corvanta::ConnectionError& error) {
    if (error != corvanta::ConnectionError::invalidCallback) std::abort();
  }
  return 0;
}

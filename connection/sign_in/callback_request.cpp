#include "connection/sign_in/callback_request.hpp"

#include "connection/transport/connection_error.hpp"
#include "platform/foundation/unicode.hpp"

#include <boost/url/parse.hpp>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {
namespace {

constexpr std::string_view headEnd = "\r\n\r\n";
constexpr std::string_view lineEnd = "\r\n";
constexpr std::string_view callbackOrigin = "http://localhost:53682";
constexpr std::string_view expectedHost = "localhost:53682";

[[noreturn]] void refuse() { throw ConnectionError::invalidCallback; }

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    if (at == std::string_view::npos) {
      parts.push_back(text);
      return parts;
    }
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
}

// Header names are ASCII tokens; folding only ASCII letters is enough to tell "Host" from
// "host" and leaves every other byte as it was.
std::string asciiLowercased(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmedBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view requestTarget(std::string_view requestLine) {
  const auto parts = split(requestLine, " ");
  if (parts.size() != 3) refuse();
  if (parts[0] != "GET" || parts[2] != "HTTP/1.1") refuse();
  const auto target = parts[1];
  if (!target.starts_with("/callback?") || target.find('#') != std::string_view::npos) refuse();
  return target;
}

}  // namespace

boost::urls::url parseCallbackRequest(platform::ByteView request) {
  if (request.size() > maximumCallbackRequestByteCount) refuse();
  const std::string_view text(reinterpret_cast<const char*>(request.data()), request.size());
  if (!platform::foundation::unicode::isValidUTF8(text)) refuse();

  // Nothing may follow the head: a body or a second request behind it could be read differently
  // by whatever else sits between the browser and this port.
  const auto end = text.find(headEnd);
  if (end == std::string_view::npos || end + headEnd.size() != text.size()) refuse();

  const auto lines = split(text.substr(0, end), lineEnd);
  const auto target = requestTarget(lines.front());

  std::set<std::string> names;
  std::string_view host;
  bool hasHost = false;
  for (std::size_t index = 1; index < lines.size(); ++index) {
    const auto line = lines[index];
    if (!line.empty() && isBlank(line.front())) refuse();
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) refuse();
    auto name = asciiLowercased(line.substr(0, colon));
    const auto value = trimmedBlanks(line.substr(colon + 1));
    if (name == "transfer-encoding") refuse();
    if (name == "content-length" && value != "0") refuse();
    if (name == "host") {
      host = value;
      hasHost = true;
    }
    if (!names.insert(std::move(name)).second) refuse();
  }
  if (!hasHost || host != expectedHost) refuse();

  std::string callback(callbackOrigin);
  callback += target;
  const auto parsed = boost::urls::parse_uri(callback);
  if (!parsed) refuse();
  return boost::urls::url(*parsed);
}

}  // namespace corvanta

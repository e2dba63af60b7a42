// Checks arbitrary text as the sign-in redirect. "{s}" in the input stands for the attempt's state
// and "{i}" for the issuer, so that the checks after the state's are reached too. A refusal is a
// ConnectionError; an accepted code must be what the check promises. Anything else that escapes,
// a crash or a sanitizer report is a fault.
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/sign_in/url_components.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/unicode.hpp"
#include "platform/runtime/continuous_clock.hpp"

#include <boost/url/url.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

// Every part the adaptor offers, read once, so that decoding runs over whatever was parsed.
void readEveryPart(const corvanta::URLComponents& components) {
  std::size_t total = components.scheme().size() + components.path().size();
  if (const auto host = components.host()) total += host->size();
  if (const auto user = components.user()) total += user->size();
  if (const auto password = components.password()) total += password->size();
  if (const auto fragment = components.fragment()) total += fragment->size();
  if (const auto items = components.queryItems()) {
    for (const auto& item : *items) total += item.name.size() + (item.value ? item.value->size() : 0);
  }
  if (total > (std::size_t{1} << 32)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const corvanta::SignInAttempt attempt(platform::runtime::ContinuousClock::system());

  std::string text(reinterpret_cast<const char*>(data), size);
  replaceAll(text, "{s}", attempt.state());
  replaceAll(text, "{i}", corvanta::CorvantaEndpoints::issuer());

  const auto components = corvanta::URLComponents::parse(text);
  if (!components) return 0;
  readEveryPart(*components);

  const boost::urls::url callback(components->url());
  try {
    const std::string code = attempt.authorizationCode(callback, attempt.deadline().advancedBy(std::chrono::nanoseconds(-1)));
    if (code.empty() || code.size() > corvanta::SignInAttempt::maximumCodeByteCount ||
        !platform::foundation::unicode::isValidUTF8(code)) {
      std::abort();
    }
    if (components->scheme() != "http" || components->host() != "localhost" || components->port() != 53682 ||
        components->path() != "/callback" || components->fragment()) {
      std::abort();
    }
  } catch (const corvanta::ConnectionError& error) {
    if (error != corvanta::ConnectionError::invalidCallback && error != corvanta::ConnectionError::authorizationDenied) {
      std::abort();
    }
  }
  return 0;
}

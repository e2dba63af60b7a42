#include "connection/sign_in/sign_in_attempt.hpp"

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/foundation/unicode.hpp"
#include "platform/security/digest.hpp"

#include <boost/url/parse.hpp>

#include <array>
#include <utility>

namespace corvanta {
namespace {

constexpr std::size_t tokenByteCount = 32;
constexpr std::uint16_t callbackPort = 53682;

std::string codeChallenge(std::string_view verifier) {
  return base64URL(platform::security::sha256(platform::bytesOf(verifier)));
}

// Every name and value is escaped down to the unreserved characters, stricter than a query needs
// ("http://localhost..." becomes "http%3A%2F%2Flocalhost..."), so that no value can ever be read
// as something else, '+' as a space in particular.
boost::urls::url authorizationRequest(std::string_view state, std::string_view challenge) {
  const std::pair<std::string_view, std::string_view> items[] = {
      {"client_id", CorvantaEndpoints::clientID},
      {"redirect_uri", CorvantaEndpoints::redirect},
      {"response_type", "code"},
      {"scope", "openid"},
      {"state", state},
      {"code_challenge", challenge},
      {"code_challenge_method", "S256"},
      {"prompt", "select_account"},
  };
  std::string query;
  for (const auto& [name, value] : items) {
    if (!query.empty()) query.push_back('&');
    query += platform::foundation::percentEncodedUnreserved(name);
    query.push_back('=');
    query += platform::foundation::percentEncodedUnreserved(value);
  }
  const std::string endpoint = std::string(CorvantaEndpoints::issuer()) + "/protocol/openid-connect/auth";
  boost::urls::url url(boost::urls::parse_absolute_uri(endpoint).value());
  url.set_encoded_query(query);
  return url;
}

}  // namespace

SignInAttempt::SignInAttempt(const platform::runtime::ContinuousClock& clock, const RandomSource& random)
    : id_(platform::foundation::UUID::random()),
      state_(randomToken(random)),
      verifier_(randomToken(random)),
      deadline_(clock.now().advancedBy(lifetime)) {
  authorizationURL_ = authorizationRequest(state_, codeChallenge(verifier_));
}

std::string SignInAttempt::authorizationCode(boost::urls::url_view callback, Instant now) const {
  if (!(now < deadline_)) throw ConnectionError::loginExpired;

  const auto components = URLComponents::parse(callback.buffer());
  if (!components) throw ConnectionError::invalidCallback;
  if (components->scheme() != "http") throw ConnectionError::invalidCallback;
  if (components->host() != "localhost") throw ConnectionError::invalidCallback;
  if (components->port() != callbackPort) throw ConnectionError::invalidCallback;
  if (components->path() != "/callback") throw ConnectionError::invalidCallback;
  if (components->user() || components->password() || components->fragment()) throw ConnectionError::invalidCallback;

  const auto returnedState = queryValue("state", *components);
  if (!returnedState || !constantTimeEquals(*returnedState, state_)) throw ConnectionError::invalidCallback;

  // The issuer is required (RFC 9207): it tells a redirect of this identity provider apart from
  // one of another provider that the browser is signed in to.
  const auto returnedIssuer = queryValue("iss", *components);
  if (!returnedIssuer || *returnedIssuer != CorvantaEndpoints::issuer()) throw ConnectionError::invalidCallback;

  const auto error = queryValue("error", *components);
  const auto code = queryValue("code", *components);
  if (error) {
    // An answer that is both a refusal and a grant is not one the provider gives.
    if (code) throw ConnectionError::invalidCallback;
    throw ConnectionError::authorizationDenied;
  }
  if (!code || code->empty() || code->size() > maximumCodeByteCount) throw ConnectionError::invalidCallback;
  return *code;
}

bool operator==(const SignInAttempt& a, const SignInAttempt& b) {
  return a.id_ == b.id_ && a.authorizationURL_.buffer() == b.authorizationURL_.buffer() && a.state_ == b.state_ &&
         a.verifier_ == b.verifier_ && a.deadline_ == b.deadline_;
}

std::string randomToken(const RandomSource& random) {
  std::array<std::uint8_t, tokenByteCount> bytes{};
  if (!random(bytes)) throw ConnectionError::invalidResponse;
  return base64URL(bytes);
}

std::string base64URL(platform::ByteView bytes) { return platform::foundation::base64URLEncoded(bytes); }

std::optional<std::string> queryValue(std::string_view name, const URLComponents& components) {
  const auto items = components.queryItems();
  if (!items) return std::nullopt;
  const URLQueryItem* found = nullptr;
  for (const auto& item : *items) {
    if (item.name != name) continue;
    if (found) throw ConnectionError::invalidCallback;
    found = &item;
  }
  if (!found || !found->value) return std::nullopt;
  // Decoding "%FF" gives a byte that is no text at all; such a value is refused rather than
  // compared or handed on.
  if (!platform::foundation::unicode::isValidUTF8(*found->value)) throw ConnectionError::invalidCallback;
  return found->value;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t index = 0; index < a.size(); ++index) {
    difference |= static_cast<unsigned char>(static_cast<unsigned char>(a[index]) ^ static_cast<unsigned char>(b[index]));
  }
  return difference == 0;
}

}  // namespace corvanta

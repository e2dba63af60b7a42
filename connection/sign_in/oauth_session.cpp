#include "connection/sign_in/oauth_session.hpp"

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/form_encoding.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/ephemeral_http_transport.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/unicode.hpp"
#include "platform/net/network_error.hpp"
#include "platform/runtime/cancellation.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <utility>

namespace corvanta {

struct OAuthSession::TokenResponse {
  std::string accessToken;
  std::optional<std::string> refreshToken;
  std::int64_t expiresIn = 0;
  std::string tokenType;

  static TokenResponse fromJSON(const platform::foundation::JSONObjectReader& reader) {
    return TokenResponse{
        reader.required<std::string>("access_token"),
        reader.optional<std::string>("refresh_token"),
        reader.required<std::int64_t>("expires_in"),
        reader.required<std::string>("token_type"),
    };
  }
};

namespace {

using platform::runtime::CancellationError;

constexpr std::size_t maximumAccessTokenByteCount = 65535;
// Seven days: a longer lifetime is not what this provider issues, so such an answer is refused.
constexpr std::int64_t maximumLifetimeSeconds = 604800;
constexpr auto tokenRequestTimeout = std::chrono::seconds(60);

// The C1 controls pass the transport, being two bytes in UTF-8, but are no part of a token either.
bool isControl(char32_t scalar) { return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F); }

bool isUnfitForAHeader(char32_t scalar) {
  return platform::foundation::unicode::isWhitespaceOrNewline(scalar) || isControl(scalar);
}

bool containsWhitespaceOrControls(std::string_view text) {
  const auto scalars = platform::foundation::unicode::decodeUTF8(text);
  // The JSON reader only hands out well-formed UTF-8; anything else is no usable token either.
  if (!scalars) return true;
  return std::any_of(scalars->begin(), scalars->end(), isUnfitForAHeader);
}

std::string asciiLowercased(std::string_view text) {
  std::string lowered(text);
  for (auto& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

// Ends a token a little before it expires, so that a request made just before expiry does not
// reach the service with a token that has run out on the way: a fifth of the lifetime, at most a
// minute, and five seconds for very short lifetimes.
std::int64_t refreshMarginSeconds(std::int64_t lifetime) {
  return lifetime >= 25 ? std::min<std::int64_t>(lifetime / 5, 60) : 5;
}

// A cancelled refresh shows up either as the runtime's cancellation or as the network's cancelled
// exchange; neither may end the sign-in.
bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const CancellationError&) {
    return true;
  } catch (const platform::net::NetworkError& networkError) {
    return networkError.code() == platform::net::NetworkError::Code::cancelled;
  } catch (...) {
    return false;
  }
}

}  // namespace

OAuthSession::OAuthSession(const boost::asio::any_io_executor& executor, std::shared_ptr<HTTPTransport> transport,
                           const Clock& clock, RandomSource random)
    : Actor(executor),
      executor_(executor),
      transport_(std::move(transport)),
      clock_(&clock),
      random_(std::move(random)),
      generation_(platform::foundation::UUID::random()) {
  if (!transport_) throw std::invalid_argument("an OAuth session needs a transport");
  if (!random_) throw std::invalid_argument("an OAuth session needs a random source");
}

OAuthSession::OAuthSession(const boost::asio::any_io_executor& executor)
    : OAuthSession(executor, std::make_shared<EphemeralHTTPTransport>()) {}

OAuthSession::~OAuthSession() {
  if (refresh_) refresh_->task.cancel();
}

// ---- Public operations: each runs on the strand ---------------------------------------------------

boost::asio::awaitable<bool> OAuthSession::canAuthorize() { return onStrand(canAuthorizeOnStrand(shared_from_this())); }

boost::asio::awaitable<SignInAttempt> OAuthSession::beginSignIn() {
  return onStrand(beginSignInOnStrand(shared_from_this()));
}

boost::asio::awaitable<void> OAuthSession::completeSignIn(platform::foundation::UUID attemptID,
                                                          boost::urls::url callback) {
  return onStrand(completeSignInOnStrand(shared_from_this(), attemptID, std::move(callback)));
}

boost::asio::awaitable<void> OAuthSession::logout() { return onStrand(logoutOnStrand(shared_from_this())); }

boost::asio::awaitable<std::string> OAuthSession::accessToken() {
  return onStrand(accessTokenOnStrand(shared_from_this()));
}

boost::asio::awaitable<SessionAuthorization> OAuthSession::authorization() {
  return onStrand(authorizationOnStrand(shared_from_this()));
}

boost::asio::awaitable<SessionAuthorization> OAuthSession::authorization(std::string accountID) {
  return onStrand(accountAuthorizationOnStrand(shared_from_this(), std::move(accountID)));
}

boost::asio::awaitable<bool> OAuthSession::isCurrent(SessionAuthorization authorization) {
  return onStrand(isCurrentOnStrand(shared_from_this(), std::move(authorization)));
}

boost::asio::awaitable<void> OAuthSession::bindAccount(std::string accountID, SessionAuthorization authorization) {
  return onStrand(bindAccountOnStrand(shared_from_this(), std::move(accountID), std::move(authorization)));
}

boost::asio::awaitable<void> OAuthSession::invalidate(SessionAuthorization authorization) {
  return onStrand(invalidateOnStrand(shared_from_this(), std::move(authorization)));
}

// ---- Token requests ------------------------------------------------------------------------------

boost::asio::awaitable<OAuthSession::TokenResponse> OAuthSession::requestTokens(
    std::map<std::string, std::string> form, std::shared_ptr<HTTPTransport> transport) {
  form["client_id"] = std::string(CorvantaEndpoints::clientID);

  platform::net::Request request;
  request.method = "POST";
  request.url = CorvantaEndpoints::tokenURL();
  request.headers = {
      {"Content-Type", "application/x-www-form-urlencoded"},
      {"Accept", "application/json"},
  };
  request.body = FormEncoding::encode(form);
  request.timeout = tokenRequestTimeout;

  auto sending = transport->send(std::move(request));
  const HTTPResult result = co_await std::move(sending);
  // Only 200 carries tokens (RFC 6749 5.1); a refusal is a 400 whose "error" says why, which
  // changes nothing for the user.
  if (result.status != 200) throw ConnectionError::requestFailed(result.status);
  try {
    co_return platform::foundation::decodeJSON<TokenResponse>(platform::ByteView(result.body));
  } catch (const platform::foundation::DecodingError&) {
    throw ConnectionError::invalidResponse;
  }
}

OAuthSession::Tokens OAuthSession::tokens(const TokenResponse& response, std::optional<std::string> fallbackRefresh,
                                          Instant now) {
  const auto& access = response.accessToken;
  if (access.empty() || access.size() > maximumAccessTokenByteCount) throw ConnectionError::invalidResponse;
  // The token goes into an "Authorization" header as it is: white space would split it there, and
  // the transport refuses a control character in a header only once a request is made, where the
  // remote signer can no longer tell that nothing was sent.
  if (containsWhitespaceOrControls(access)) throw ConnectionError::invalidResponse;
  if (asciiLowercased(response.tokenType) != "bearer") throw ConnectionError::invalidResponse;
  if (response.expiresIn <= 0 || response.expiresIn > maximumLifetimeSeconds) throw ConnectionError::invalidResponse;

  const auto lifetime = response.expiresIn;
  const auto untilRefresh = std::max<std::int64_t>(lifetime - refreshMarginSeconds(lifetime), 0);
  return Tokens{
      access,
      // A provider that does not rotate refresh tokens answers a refresh without one: the one
      // just used stays good.
      response.refreshToken ? response.refreshToken : std::move(fallbackRefresh),
      now.advancedBy(std::chrono::seconds(lifetime)),
      now.advancedBy(std::chrono::seconds(untilRefresh)),
  };
}

boost::asio::awaitable<OAuthSession::Tokens> OAuthSession::refreshTokens(std::shared_ptr<HTTPTransport> transport,
                                                                         std::string refreshToken,
                                                                         const Clock* clock) {
  std::map<std::string, std::string> form{
      {"grant_type", "refresh_token"},
      {"refresh_token", refreshToken},
  };
  auto requesting = requestTokens(std::move(form), std::move(transport));
  const TokenResponse response = co_await std::move(requesting);
  co_return tokens(response, std::move(refreshToken), clock->now());
}

// ---- Operations on the strand --------------------------------------------------------------------

void OAuthSession::signOut() {
  generation_ = platform::foundation::UUID::random();
  attempt_.reset();
  tokens_.reset();
  accountID_.reset();
  if (refresh_) refresh_->task.cancel();
  refresh_.reset();
}

bool OAuthSession::holdsCurrent(const SessionAuthorization& authorization) const {
  return authorization.generation == generation_ && tokens_.has_value();
}

boost::asio::awaitable<bool> OAuthSession::canAuthorizeOnStrand(std::shared_ptr<OAuthSession> self) {
  if (!self->tokens_) co_return false;
  if (self->clock_->now() < self->tokens_->expires) co_return true;
  co_return self->tokens_->refresh.has_value() && !self->tokens_->refresh->empty();
}

boost::asio::awaitable<SignInAttempt> OAuthSession::beginSignInOnStrand(std::shared_ptr<OAuthSession> self) {
  self->signOut();
  SignInAttempt attempt(*self->clock_, self->random_);
  self->attempt_ = attempt;
  co_return attempt;
}

boost::asio::awaitable<void> OAuthSession::completeSignInOnStrand(std::shared_ptr<OAuthSession> self,
                                                                  platform::foundation::UUID attemptID,
                                                                  boost::urls::url callback) {
  if (!self->attempt_ || self->attempt_->id() != attemptID) throw ConnectionError::staleSession;
  // A redirect that fails the check leaves the attempt pending: the browser may still come back.
  const std::string code = self->attempt_->authorizationCode(callback, self->clock_->now());

  const auto generation = self->generation_;
  const std::string verifier = self->attempt_->verifier();
  // Used up before the exchange is sent, so that a second completion is refused even while the
  // first still waits for its answer: a code is never exchanged twice.
  self->attempt_.reset();

  std::map<std::string, std::string> form{
      {"grant_type", "authorization_code"},
      {"code", code},
      {"redirect_uri", std::string(CorvantaEndpoints::redirect)},
      {"code_verifier", verifier},
  };
  auto requesting = requestTokens(std::move(form), self->transport_);
  const TokenResponse response = co_await std::move(requesting);

  const bool cancelled = co_await platform::runtime::isCancelled();
  if (cancelled) throw CancellationError();
  if (self->generation_ != generation) throw ConnectionError::staleSession;
  self->tokens_ = tokens(response, std::nullopt, self->clock_->now());
}

boost::asio::awaitable<void> OAuthSession::logoutOnStrand(std::shared_ptr<OAuthSession> self) {
  self->signOut();
  co_return;
}

boost::asio::awaitable<std::string> OAuthSession::accessTokenOnStrand(std::shared_ptr<OAuthSession> self) {
  if (!self->tokens_) throw ConnectionError::notSignedIn;
  if (self->clock_->now() < self->tokens_->refreshAfter) co_return self->tokens_->access;

  if (!self->tokens_->refresh || self->tokens_->refresh->empty()) {
    self->signOut();
    throw ConnectionError::notSignedIn;
  }

  const auto generation = self->generation_;
  if (!self->refresh_) {
    // The task holds copies only: it outlives nothing of the session, and a sign-out ends it by
    // cancellation, not by pulling state from under it.
    auto task = platform::runtime::startTask(self->executor_,
                                             refreshTokens(self->transport_, *self->tokens_->refresh, self->clock_));
    self->refresh_ = Refresh{platform::foundation::UUID::random(), std::move(task)};
  }
  // Copied: the record may be replaced or cleared while this caller waits.
  const Refresh refresh = *self->refresh_;

  std::optional<Tokens> refreshed;
  std::exception_ptr failure;
  try {
    auto joining = refresh.task.join();
    refreshed = co_await std::move(joining);
  } catch (...) {
    failure = std::current_exception();
  }

  if (!failure) {
    // The refresh stays recorded, so the next caller picks its result up at once.
    const bool cancelled = co_await platform::runtime::isCancelled();
    if (cancelled) failure = std::make_exception_ptr(CancellationError());
  }
  if (failure) {
    if (self->generation_ != generation) throw ConnectionError::staleSession;
    if (isCancellation(failure)) std::rethrow_exception(failure);
    self->signOut();
    throw ConnectionError::notSignedIn;
  }

  if (self->generation_ != generation) throw ConnectionError::staleSession;
  // Only the refresh still on record may store its tokens; a caller that comes late finds them
  // already stored, or finds another refresh on record whose result will count instead.
  if (self->refresh_ && self->refresh_->id == refresh.id) {
    self->tokens_ = std::move(*refreshed);
    self->refresh_.reset();
  }
  if (!self->tokens_) throw ConnectionError::notSignedIn;
  if (self->clock_->now() < self->tokens_->expires) co_return self->tokens_->access;
  throw ConnectionError::notSignedIn;
}

boost::asio::awaitable<SessionAuthorization> OAuthSession::authorizationOnStrand(std::shared_ptr<OAuthSession> self) {
  const auto generation = self->generation_;
  auto obtaining = accessTokenOnStrand(self);
  std::string token = co_await std::move(obtaining);
  if (self->generation_ != generation) throw ConnectionError::staleSession;
  co_return SessionAuthorization{std::move(token), generation};
}

boost::asio::awaitable<SessionAuthorization> OAuthSession::accountAuthorizationOnStrand(
    std::shared_ptr<OAuthSession> self, std::string accountID) {
  auto obtaining = authorizationOnStrand(self);
  SessionAuthorization authorization = co_await std::move(obtaining);
  if (!self->accountID_ || *self->accountID_ != accountID) throw ConnectionError::staleSession;
  co_return authorization;
}

boost::asio::awaitable<bool> OAuthSession::isCurrentOnStrand(std::shared_ptr<OAuthSession> self,
                                                             SessionAuthorization authorization) {
  co_return self->holdsCurrent(authorization);
}

boost::asio::awaitable<void> OAuthSession::bindAccountOnStrand(std::shared_ptr<OAuthSession> self,
                                                               std::string accountID,
                                                               SessionAuthorization authorization) {
  if (!self->holdsCurrent(authorization) || accountID.empty()) throw ConnectionError::staleSession;
  self->accountID_ = std::move(accountID);
  co_return;
}

boost::asio::awaitable<void> OAuthSession::invalidateOnStrand(std::shared_ptr<OAuthSession> self,
                                                              SessionAuthorization authorization) {
  if (authorization.generation == self->generation_) self->signOut();
  co_return;
}

}  // namespace corvanta

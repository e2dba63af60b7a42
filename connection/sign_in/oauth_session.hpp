#pragma once

#include "connection/sign_in/session_authorization.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/actor.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/runtime/task.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/url/url.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace corvanta {

// The one holder of the user's sign-in (OpenID Connect, authorization code with PKCE). It hands
// out sign-in attempts, exchanges the code for tokens, keeps the tokens in memory only, refreshes
// them on demand, and stamps every access token it hands out with the sign-in generation, so that
// an answer that arrives after a sign-out or a new sign-in is recognised as stale. Nothing is ever
// written anywhere, and signing out sends nothing.
//
// An actor: create it with std::make_shared and call its operations from any coroutine; each runs
// on the session's strand. While one waits (the code exchange, a refresh), others run, sign-out in
// particular; each re-checks the generation when it resumes.
//
// Refreshes happen only when a token is asked for at or after the refresh point (a little before
// expiry), never by a timer. The first such caller starts one refresh that every caller shares: one
// request on the wire. A caller that is cancelled stops waiting and the refresh goes on for the
// others; only sign-out ends it. A refresh that fails for any reason but cancellation ends the
// sign-in.
//
// Errors are ConnectionError unless said otherwise; cancellation is
// platform::runtime::CancellationError.
class OAuthSession final : public platform::runtime::Actor, public std::enable_shared_from_this<OAuthSession> {
public:
  using Clock = platform::runtime::ContinuousClock;
  using Instant = Clock::Instant;

  // The clock must outlive the session and every refresh it started; the random source feeds the
  // sign-in attempts. The transport is shared with whoever else holds it.
  OAuthSession(const boost::asio::any_io_executor& executor, std::shared_ptr<HTTPTransport> transport,
               const Clock& clock = Clock::system(), RandomSource random = platform::security::copyRandomBytes);
  // Over a new EphemeralHTTPTransport of its default time-out (45 s).
  explicit OAuthSession(const boost::asio::any_io_executor& executor);
  // Cancels a refresh still in flight: nobody is left to use its result.
  ~OAuthSession();

  // Whether a token can still be had without a new sign-in: signed in, and the access token has
  // not expired or a refresh token is there. False tells the app to sign the user out.
  boost::asio::awaitable<bool> canAuthorize();

  // Signs out first (whatever was there is gone under a new generation), then makes the one
  // pending sign-in attempt. Throws invalidResponse when the random source fails; no attempt is
  // pending then.
  boost::asio::awaitable<SignInAttempt> beginSignIn();

  // Checks the redirect that the loopback receiver delivered for the pending attempt and exchanges
  // its code for tokens. Throws staleSession when that attempt is not (or no longer) pending; the
  // redirect check's loginExpired, invalidCallback or authorizationDenied, leaving the attempt
  // pending; and after the attempt was used up: the transport's errors (an exchange whose caller
  // is cancelled ends with the network's own cancellation), requestFailed with any status but
  // 200, invalidResponse for an answer that is not a usable token response, CancellationError when
  // the caller was cancelled by the time the answer came, and staleSession when the session was
  // signed out or signed in anew meanwhile.
  boost::asio::awaitable<void> completeSignIn(platform::foundation::UUID attemptID, boost::urls::url callback);

  // Forgets the attempt, the tokens and the account, cancels a refresh in flight, and renews the
  // generation, so every authorization handed out before is no longer current.
  boost::asio::awaitable<void> logout();

  // The access token in force, refreshed first when the refresh point has come. Throws
  // notSignedIn without a sign-in, or when a due refresh is impossible or failed (the sign-in is
  // then ended); staleSession when the sign-in changed while the refresh ran; CancellationError
  // when the caller was cancelled while it waited.
  boost::asio::awaitable<std::string> accessToken();

  // The access token with the generation it belongs to; the errors of accessToken, and
  // staleSession when the generation changed while it was obtained.
  boost::asio::awaitable<SessionAuthorization> authorization();

  // An authorization for requests made on behalf of this account: the errors of authorization(),
  // and staleSession when no account is bound or another one is.
  boost::asio::awaitable<SessionAuthorization> authorization(std::string accountID);

  // Whether the authorization belongs to the current sign-in.
  boost::asio::awaitable<bool> isCurrent(SessionAuthorization authorization);

  // Binds the account (the user profile's subject) to the sign-in that the authorization belongs
  // to. Throws staleSession, changing nothing, when that sign-in is no longer current or the
  // identifier is empty.
  boost::asio::awaitable<void> bindAccount(std::string accountID, SessionAuthorization authorization);

  // What a 401 answer means: signs out when the authorization belongs to the current generation,
  // and does nothing for an older one, which cannot end a newer sign-in.
  boost::asio::awaitable<void> invalidate(SessionAuthorization authorization);

private:
  struct Tokens {
    std::string access;
    std::optional<std::string> refresh;
    // Expiry of the access token.
    Instant expires;
    // From this instant the next request for a token refreshes first.
    Instant refreshAfter;
  };

  // The token endpoint's answer.
  struct TokenResponse;

  struct Refresh {
    platform::foundation::UUID id;
    platform::runtime::Task<Tokens> task;
  };

  static boost::asio::awaitable<bool> canAuthorizeOnStrand(std::shared_ptr<OAuthSession> self);
  static boost::asio::awaitable<SignInAttempt> beginSignInOnStrand(std::shared_ptr<OAuthSession> self);
  static boost::asio::awaitable<void> completeSignInOnStrand(std::shared_ptr<OAuthSession> self,
                                                             platform::foundation::UUID attemptID,
                                                             boost::urls::url callback);
  static boost::asio::awaitable<void> logoutOnStrand(std::shared_ptr<OAuthSession> self);
  static boost::asio::awaitable<std::string> accessTokenOnStrand(std::shared_ptr<OAuthSession> self);
  static boost::asio::awaitable<SessionAuthorization> authorizationOnStrand(std::shared_ptr<OAuthSession> self);
  static boost::asio::awaitable<SessionAuthorization> accountAuthorizationOnStrand(std::shared_ptr<OAuthSession> self,
                                                                                  std::string accountID);
  static boost::asio::awaitable<bool> isCurrentOnStrand(std::shared_ptr<OAuthSession> self,
                                                        SessionAuthorization authorization);
  static boost::asio::awaitable<void> bindAccountOnStrand(std::shared_ptr<OAuthSession> self, std::string accountID,
                                                          SessionAuthorization authorization);
  static boost::asio::awaitable<void> invalidateOnStrand(std::shared_ptr<OAuthSession> self,
                                                         SessionAuthorization authorization);

  // The token request of either grant; client_id is set here.
  static boost::asio::awaitable<TokenResponse> requestTokens(std::map<std::string, std::string> form,
                                                             std::shared_ptr<HTTPTransport> transport);
  // The tokens an answer gives, checked; the fallback is kept when the answer names no refresh
  // token.
  static Tokens tokens(const TokenResponse& response, std::optional<std::string> fallbackRefresh, Instant now);
  // The body of the shared refresh task: it holds only what it is given, never the session.
  static boost::asio::awaitable<Tokens> refreshTokens(std::shared_ptr<HTTPTransport> transport,
                                                      std::string refreshToken, const Clock* clock);

  // The synchronous steps, called on the strand without suspending.
  void signOut();
  bool holdsCurrent(const SessionAuthorization& authorization) const;

  boost::asio::any_io_executor executor_;
  std::shared_ptr<HTTPTransport> transport_;
  const Clock* clock_;
  RandomSource random_;

  platform::foundation::UUID generation_;
  std::optional<SignInAttempt> attempt_;
  std::optional<Tokens> tokens_;
  std::optional<std::string> accountID_;
  std::optional<Refresh> refresh_;
};

}  // namespace corvanta

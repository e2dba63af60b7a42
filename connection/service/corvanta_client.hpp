#pragma once

#include "connection/service/account_profile.hpp"
#include "connection/service/account_role.hpp"
#include "connection/service/certificate_collection.hpp"
#include "connection/service/role_allowances.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/session_authorization.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/bytes.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/url/url.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {

// The read side of the service connection: the signed-in user's profile (the identity provider's
// userinfo), and the account's roles, the active certificates of a role and the allowances of a
// role (the service's REST API).
//
// Every request carries an access token of the session, and every answer is used only while the
// sign-in that issued that token is still the current one: an answer that arrives after a
// sign-out or a new sign-in ends in ConnectionError::staleSession, whatever its status, so that
// nothing of an earlier sign-in reaches the new one. A 401 for the current sign-in ends that
// sign-in (notSignedIn). Nothing is retried and nothing is kept: each operation sends at most one
// request and returns all or nothing.
//
// A plain value, not an actor: copies share the session and the transport. Its operations run on
// the awaiting coroutine's executor and step onto the session's strand only for the session's own
// calls; several may run at the same time, each judging its own answer. The coroutines hold their
// own references, so a client may be dropped while one of its operations runs.
//
// Errors of the session, the transport (platform::net::NetworkError, a cancelled exchange
// included) and the certificate reader pass through unchanged; the runtime's CancellationError
// ends an operation whose chain was cancelled before the request went out or by the time the
// answer came.
class CorvantaClient {
public:
  // Every request asks the service to answer within this long between two pieces of data; the
  // transport's own limits apply on top.
  static constexpr std::chrono::seconds requestTimeout{60};

  // Throws std::invalid_argument when either is null.
  CorvantaClient(std::shared_ptr<OAuthSession> session, std::shared_ptr<HTTPTransport> transport);

  const std::shared_ptr<OAuthSession>& session() const { return session_; }
  const std::shared_ptr<HTTPTransport>& transport() const { return transport_; }

  // The signed-in user, from the userinfo endpoint; the session is then bound to its account
  // ("sub"), so that signing is done for that account only. A body that is not a profile throws
  // the DecodingError of the JSON coding unchanged; an empty "sub" is invalidResponse and binds
  // nothing; staleSession when the sign-in changed before the account could be bound.
  boost::asio::awaitable<AccountProfile> account() const;

  // The account's roles in the service's order; an empty list is an answer. A body that is not a
  // roles answer throws the DecodingError unchanged; invalidResponse when the answer is not
  // successful or a role UUID is empty, holds a newline or appears twice.
  boost::asio::awaitable<std::vector<AccountRole>> roles() const;

  // The active certificates of the role, sent in "x-role-uuid" exactly as given. A role
  // identifier that is empty, holds white space or a newline, or is not well-formed UTF-8 is
  // invalidResponse before anything is asked of the session or sent. A body that is not a
  // certificates answer is invalidResponse; the collection's own refusals (invalidResponse,
  // unknownCertificateMode, ambiguousCertificates, invalidCertificate) pass through.
  boost::asio::awaitable<CertificateCollection> certificates(std::string roleID) const;

  // The allowances of the role, with the same role check and the same handling of a body that is
  // not a billing answer; the allowances' own refusals (invalidResponse) pass through.
  boost::asio::awaitable<RoleAllowances> allowances(std::string roleID) const;

private:
  // The roles answer's payload: {"roles": [role, ...]}.
  struct Details;

  static boost::asio::awaitable<AccountProfile> accountOf(std::shared_ptr<OAuthSession> session,
                                                          std::shared_ptr<HTTPTransport> transport);
  static boost::asio::awaitable<std::vector<AccountRole>> rolesOf(std::shared_ptr<OAuthSession> session,
                                                                  std::shared_ptr<HTTPTransport> transport);
  static boost::asio::awaitable<CertificateCollection> certificatesOf(std::shared_ptr<OAuthSession> session,
                                                                      std::shared_ptr<HTTPTransport> transport,
                                                                      std::string roleID);
  static boost::asio::awaitable<RoleAllowances> allowancesOf(std::shared_ptr<OAuthSession> session,
                                                             std::shared_ptr<HTTPTransport> transport,
                                                             std::string roleID);

  // One GET of the URL under the given authorization, or under one obtained from the session when
  // none is given; the body of a status-200 answer that still belongs to the current sign-in.
  static boost::asio::awaitable<platform::Bytes> get(std::shared_ptr<OAuthSession> session,
                                                     std::shared_ptr<HTTPTransport> transport,
                                                     boost::urls::url url, std::optional<std::string> roleID,
                                                     std::optional<SessionAuthorization> authorization);

  std::shared_ptr<OAuthSession> session_;
  std::shared_ptr<HTTPTransport> transport_;
};

}  // namespace corvanta

#include "connection/service/corvanta_client.hpp"

#include "connection/service/service_envelope.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/http_result.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/unicode.hpp"
#include "platform/net/header_field.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/cancellation.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace corvanta {

namespace unicode = platform::foundation::unicode;

struct CorvantaClient::Details {
  std::vector<AccountRole> roles;

  static Details fromJSON(const platform::foundation::JSONObjectReader& reader) {
    return Details{reader.required<std::vector<AccountRole>>("roles")};
  }
};

namespace {

// A role UUID goes into the "x-role-uuid" header of later requests: one with a line break in it
// would be unusable there.
bool isUsableRoleUuid(std::string_view roleUuid) {
  if (roleUuid.empty()) return false;
  const auto scalars = unicode::decodeUTF8(roleUuid);
  return scalars && std::none_of(scalars->begin(), scalars->end(), unicode::isNewline);
}

// The caller's role identifier is sent as it is, never trimmed, so it must not hold anything that
// trimming would have removed.
bool isUsableRoleID(std::string_view roleID) {
  if (roleID.empty()) return false;
  const auto scalars = unicode::decodeUTF8(roleID);
  return scalars && std::none_of(scalars->begin(), scalars->end(), unicode::isWhitespaceOrNewline);
}

void checkRoleID(std::string_view roleID) {
  if (!isUsableRoleID(roleID)) throw ConnectionError::invalidResponse;
}

}  // namespace

CorvantaClient::CorvantaClient(std::shared_ptr<OAuthSession> session, std::shared_ptr<HTTPTransport> transport)
    : session_(std::move(session)), transport_(std::move(transport)) {
  if (!session_) throw std::invalid_argument("a service client needs a session");
  if (!transport_) throw std::invalid_argument("a service client needs a transport");
}

boost::asio::awaitable<AccountProfile> CorvantaClient::account() const { return accountOf(session_, transport_); }

boost::asio::awaitable<std::vector<AccountRole>> CorvantaClient::roles() const { return rolesOf(session_, transport_); }

boost::asio::awaitable<CertificateCollection> CorvantaClient::certificates(std::string roleID) const {
  return certificatesOf(session_, transport_, std::move(roleID));
}

boost::asio::awaitable<RoleAllowances> CorvantaClient::allowances(std::string roleID) const {
  return allowancesOf(session_, transport_, std::move(roleID));
}

boost::asio::awaitable<platform::Bytes> CorvantaClient::get(std::shared_ptr<OAuthSession> session,
                                                            std::shared_ptr<HTTPTransport> transport,
                                                            boost::urls::url url, std::optional<std::string> roleID,
                                                            std::optional<SessionAuthorization> authorization) {
  platform::net::Request request;
  request.method = "GET";
  request.url = std::move(url);
  request.timeout = requestTimeout;

  if (!authorization) {
    auto obtaining = session->authorization();
    authorization = co_await std::move(obtaining);
  }
  co_await platform::runtime::checkCancellation();

  request.headers.push_back({"Authorization", "Bearer " + authorization->accessToken});
  request.headers.push_back({"Accept", "application/json"});
  if (roleID) {
    request.headers.push_back({"x-role-uuid", std::move(*roleID)});
  }

  auto sending = transport->send(std::move(request));
  HTTPResult result = co_await std::move(sending);
  co_await platform::runtime::checkCancellation();

  // Judged before the status: an answer to a sign-in that has ended or been replaced is never
  // used, not even a 401, which would otherwise end the newer sign-in.
  auto asking = session->isCurrent(*authorization);
  const bool current = co_await std::move(asking);
  if (!current) throw ConnectionError::staleSession;

  if (result.status == 200) co_return std::move(result.body);
  if (result.status == 401) {
    auto invalidating = session->invalidate(*authorization);
    co_await std::move(invalidating);
    throw ConnectionError::notSignedIn;
  }
  throw ConnectionError::requestFailed(result.status);
}

boost::asio::awaitable<AccountProfile> CorvantaClient::accountOf(std::shared_ptr<OAuthSession> session,
                                                                 std::shared_ptr<HTTPTransport> transport) {
  auto obtaining = session->authorization();
  const SessionAuthorization authorization = co_await std::move(obtaining);

  auto fetching = get(session, transport, CorvantaEndpoints::userinfoURL(), std::nullopt, authorization);
  const platform::Bytes body = co_await std::move(fetching);

  auto profile = platform::foundation::decodeJSON<AccountProfile>(body);
  if (profile.sub().empty()) throw ConnectionError::invalidResponse;

  // The same authorization as the request: the account is bound only to the sign-in whose
  // userinfo named it.
  auto binding = session->bindAccount(profile.sub(), authorization);
  co_await std::move(binding);
  co_return profile;
}

boost::asio::awaitable<std::vector<AccountRole>> CorvantaClient::rolesOf(std::shared_ptr<OAuthSession> session,
                                                                         std::shared_ptr<HTTPTransport> transport) {
  auto fetching = get(session, transport, CorvantaEndpoints::rolesURL(), std::nullopt, std::nullopt);
  const platform::Bytes body = co_await std::move(fetching);

  auto envelope = Envelope<Details>::decode(body);
  if (envelope.success() != 1) throw ConnectionError::invalidResponse;
  auto roles = std::move(envelope).data().roles;

  std::unordered_set<std::string_view> seen;
  for (const auto& role : roles) {
    if (!isUsableRoleUuid(role.roleUuid())) throw ConnectionError::invalidResponse;
    if (!seen.insert(role.roleUuid()).second) throw ConnectionError::invalidResponse;
  }
  co_return roles;
}

boost::asio::awaitable<CertificateCollection> CorvantaClient::certificatesOf(std::shared_ptr<OAuthSession> session,
                                                                             std::shared_ptr<HTTPTransport> transport,
                                                                             std::string roleID) {
  checkRoleID(roleID);
  // A body that does not decode is reported as the service's unexpected response, unlike the
  // profile's and the roles'; the collection's and the certificate reader's refusals stay as they
  // are.
  try {
    auto fetching = get(session, transport, CorvantaEndpoints::certificatesURL(), std::move(roleID), std::nullopt);
    const platform::Bytes body = co_await std::move(fetching);
    co_return CertificateCollection::fromData(body);
  } catch (const platform::foundation::DecodingError&) {
    throw ConnectionError::invalidResponse;
  }
}

boost::asio::awaitable<RoleAllowances> CorvantaClient::allowancesOf(std::shared_ptr<OAuthSession> session,
                                                                    std::shared_ptr<HTTPTransport> transport,
                                                                    std::string roleID) {
  checkRoleID(roleID);
  try {
    auto fetching = get(session, transport, CorvantaEndpoints::billingURL(), std::move(roleID), std::nullopt);
    const platform::Bytes body = co_await std::move(fetching);
    co_return RoleAllowances::fromData(body);
  } catch (const platform::foundation::DecodingError&) {
    throw ConnectionError::invalidResponse;
  }
}

}  // namespace corvanta

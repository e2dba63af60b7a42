#include "connection/testing/stand_in_service.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/net/testing/test_certificate_authority.hpp"
#include "platform/net/testing/test_tls_server.hpp"
#include "platform/security/digest.hpp"
#include "platform/security/key.hpp"
#include "platform/security/key_algorithm.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <iterator>
#include <utility>
#include <variant>

namespace corvanta::testing {

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace net = platform::net;
namespace security = platform::security;
using net::testing::TestTLSServer;

// ---- Forms ---------------------------------------------------------------------------------------

std::optional<std::string> formDecoded(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    const char character = text[index];
    if (character == '+') {
      result += ' ';
    } else if (character == '%') {
      if (index + 2 >= text.size()) return std::nullopt;
      const int high = platform::foundation::hexDigitValue(text[index + 1]);
      const int low = platform::foundation::hexDigitValue(text[index + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      result += static_cast<char>(high * 16 + low);
      index += 2;
    } else {
      result += character;
    }
  }
  return result;
}

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The fields of an "application/x-www-form-urlencoded" body in their order; none when an escape
// is malformed.
std::optional<FormFields> parseForm(std::string_view body) {
  FormFields fields;
  while (!body.empty()) {
    const auto end = body.find('&');
    const auto part = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
    if (part.empty()) continue;
    const auto equals = part.find('=');
    auto name = formDecoded(part.substr(0, equals));
    auto value = formDecoded(equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1));
    if (!name || !value) return std::nullopt;
    fields.emplace_back(std::move(*name), std::move(*value));
  }
  return fields;
}

const std::string* fieldValue(const FormFields& fields, std::string_view name) {
  const auto found = std::find_if(fields.begin(), fields.end(), [&](const auto& field) { return field.first == name; });
  return found == fields.end() ? nullptr : &found->second;
}

bool hasRepeatedName(const FormFields& fields) {
  std::set<std::string_view> names;
  return std::any_of(fields.begin(), fields.end(), [&](const auto& field) { return !names.insert(field.first).second; });
}

// ---- Answers -------------------------------------------------------------------------------------

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return net::headerNameEquals(a, b); }

// The media type of a Content-Type value, without parameters and surrounding blanks.
std::string_view mediaType(std::string_view value) {
  value = value.substr(0, value.find(';'));
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return value;
}

bool hasMediaType(const StandInService::RecordedRequest& request, std::string_view type) {
  const auto value = request.header("Content-Type");
  return value && equalsIgnoringCase(mediaType(*value), type);
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string framed(const StandInService::Reply& reply) {
  std::string message = "HTTP/1.1 " + std::to_string(reply.status) + " " + std::string(reasonPhrase(reply.status)) + "\r\n";
  if (!reply.contentType.empty()) message += "Content-Type: " + reply.contentType + "\r\n";
  message += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  // Token answers must not be cached; nothing else the service sends may be either.
  message += "Cache-Control: no-store\r\n";
  // A resource server names the scheme it wants in every 401 (RFC 6750).
  if (reply.status == 401) message += "WWW-Authenticate: Bearer\r\n";
  message += "Connection: close\r\n\r\n";
  message += reply.body;
  return message;
}

StandInService::Reply jsonReply(int status, const json::value& value) {
  return StandInService::Reply::withStatus(status, json::serialize(value));
}

StandInService::Reply serviceError(int status, std::string_view code) {
  return jsonReply(status, json::object{{"success", 0}, {"error", json::array{json::string(code)}}});
}

StandInService::Reply serviceData(json::value data) {
  return jsonReply(200, json::object{{"success", 1}, {"data", std::move(data)}});
}

StandInService::Reply oauthError(std::string_view code) { return jsonReply(400, json::object{{"error", json::string(code)}}); }

void setIfPresent(json::object& object, std::string_view key, const std::optional<std::string>& value) {
  if (value) object[key] = json::string(*value);
}

json::object roleObject(const StandInService::Role& role) {
  json::object object;
  object["role_uuid"] = json::string(role.roleUuid);
  setIfPresent(object, "role_name", role.roleName);
  setIfPresent(object, "role_code", role.roleCode);
  setIfPresent(object, "company_name", role.companyName);
  object["is_personal"] = role.isPersonal;
  return object;
}

json::object certificatesData(const StandInService::Role& role) {
  json::array certificates;
  for (const auto& certificate : role.certificates) {
    json::object object;
    object["certificate_uuid"] = json::string(certificate.certificateUuid);
    object["usage"] = json::string(certificate.usage);
    object["status"] = json::string(certificate.status);
    object["certificate_der_base64"] = json::string(platform::foundation::base64Encoded(certificate.der));
    setIfPresent(object, "certificate_chain_pem", certificate.chainPEM);
    certificates.push_back(std::move(object));
  }
  return json::object{{"dual_cert_mode", json::string(role.dualCertMode)}, {"certificates", std::move(certificates)}};
}

json::object billingData(const StandInService::Role& role) {
  json::array entitlements;
  for (const auto& entitlement : role.entitlements) {
    json::object object{{"code", json::string(entitlement.code)}};
    if (entitlement.remaining) object["remaining"] = *entitlement.remaining;
    entitlements.push_back(std::move(object));
  }
  json::object data{{"entitlements", std::move(entitlements)}};
  if (role.spendableAcrossRoles) {
    json::object pools;
    for (const auto& [code, pool] : *role.spendableAcrossRoles) {
      pools[code] = json::object{{"other_roles", pool.otherRoles}, {"total", pool.total}};
    }
    data["spendable_across_roles"] = std::move(pools);
  }
  return data;
}

// ---- Signing -------------------------------------------------------------------------------------

enum class KeyKind { rsa, ellipticCurve };

KeyKind kindOf(const security::testing::TestKey& key) {
  const auto attributes = security::copyAttributes(key.publicKey());
  if (attributes && attributes->keyType == security::KeyType::rsa) return KeyKind::rsa;
  if (attributes && attributes->keyType == security::KeyType::ecSECPrimeRandom) return KeyKind::ellipticCurve;
  throw std::invalid_argument("the stand-in signs only with an RSA or elliptic-curve key");
}

// The scheme the service signs with: the key's kind decides RSA or ECDSA, the digest's length the
// hash; any other length names no hash.
std::optional<security::KeyAlgorithm> signingAlgorithm(KeyKind kind, std::size_t digestLength) {
  namespace id = security::keyAlgorithm;
  const bool rsa = kind == KeyKind::rsa;
  switch (digestLength) {
    case 32: return rsa ? id::rsaSignatureDigestPKCS1v15SHA256 : id::ecdsaSignatureDigestX962SHA256;
    case 48: return rsa ? id::rsaSignatureDigestPKCS1v15SHA384 : id::ecdsaSignatureDigestX962SHA384;
    case 64: return rsa ? id::rsaSignatureDigestPKCS1v15SHA512 : id::ecdsaSignatureDigestX962SHA512;
    default: return std::nullopt;
  }
}

bool isStringMember(const json::object& object, std::string_view key) {
  const auto* member = object.if_contains(key);
  return member != nullptr && member->is_string();
}

std::string_view stringMember(const json::object& object, std::string_view key) {
  const auto& text = object.at(key).as_string();
  return std::string_view(text.data(), text.size());
}

bool hasExactlyMembers(const json::object& object, const std::vector<std::string_view>& keys, bool stringsOnly) {
  if (object.size() != keys.size()) return false;
  return std::all_of(keys.begin(), keys.end(), [&](std::string_view key) {
    return stringsOnly ? isStringMember(object, key) : object.contains(key);
  });
}

bool isPKCEVerifier(std::string_view verifier) {
  if (verifier.size() < 43 || verifier.size() > 128) return false;
  return std::all_of(verifier.begin(), verifier.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
  });
}

StandInService::Account defaultAccount(const platform::Bytes& certificateDER) {
  StandInService::Role role;
  role.roleUuid = "3f1d9c2e-7b4a-4e8f-9a6d-5c2b1e0f4a73";
  role.isPersonal = true;
  role.certificates = {{"8a4e2f61-0c3b-4d7a-b5e9-1f6c2d8a3b90", "document_signing", "valid", certificateDER, std::nullopt}};
  role.entitlements = {{"one_sided_documents", 25}, {"authentication_rights", 10}};
  return {"b7e3c1a0-5d2f-4a86-9e14-6f0b8d3c2a57", "Alex Tester", "alex.tester", {std::move(role)}};
}

}  // namespace

// ---- Replies -------------------------------------------------------------------------------------

StandInService::Reply StandInService::Reply::withStatus(int status, std::string body, std::string contentType) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.contentType = std::move(contentType);
  return reply;
}

StandInService::Reply StandInService::Reply::unauthorized() { return serviceError(401, "unauthorized"); }

StandInService::Reply StandInService::Reply::tooManyRequests(std::optional<std::int64_t> retryAfterMinutes) {
  json::object body{{"success", 0}, {"error", json::array{"totp_locked"}}};
  if (retryAfterMinutes) body["data"] = json::object{{"retry_after_minutes", *retryAfterMinutes}};
  return jsonReply(429, body);
}

StandInService::Reply StandInService::Reply::garbage() {
  Reply reply;
  reply.kind = Kind::garbage;
  static constexpr char bytes[] = "\x00\x13\x37 not a status line \xff\xfe\r\n\r\n";
  reply.body = std::string(bytes, sizeof bytes - 1);
  return reply;
}

StandInService::Reply StandInService::Reply::oversized() {
  const std::string head = R"({"success":1,"data":")";
  const std::string tail = R"("})";
  Reply reply;
  reply.kind = Kind::oversized;
  reply.body = head + std::string(overBodyLimit - head.size() - tail.size(), 'x') + tail;
  return reply;
}

StandInService::Reply StandInService::Reply::stall() {
  Reply reply;
  reply.kind = Kind::stall;
  return reply;
}

// ---- Recorded requests ---------------------------------------------------------------------------

std::string StandInService::RecordedRequest::path() const { return target.substr(0, target.find('?')); }

std::optional<std::string> StandInService::RecordedRequest::header(std::string_view name) const {
  return net::headerValue(headers, name);
}

std::optional<std::string> StandInService::RecordedRequest::formValue(std::string_view name) const {
  const auto fields = parseForm(body);
  if (!fields) return std::nullopt;
  const auto* value = fieldValue(*fields, name);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

// ---- Paths ---------------------------------------------------------------------------------------

std::string StandInService::issuerPath() {
  const auto issuer = boost::urls::parse_absolute_uri(CorvantaEndpoints::issuer()).value();
  return std::string(issuer.encoded_path());
}

std::string StandInService::tokenPath() { return issuerPath() + "/protocol/openid-connect/token"; }

std::string StandInService::userinfoPath() { return issuerPath() + "/protocol/openid-connect/userinfo"; }

std::string StandInService::codeChallenge(std::string_view verifier) {
  return platform::foundation::base64URLEncoded(security::sha256(platform::bytesOf(verifier)));
}

// ---- The service's state and its answers ---------------------------------------------------------

struct StandInService::State {
  explicit State(security::testing::TestKey key)
      : signingKey(std::move(key)),
        keyKind(kindOf(signingKey)),
        certificateDER(signingKey.selfSignedCertificate(
            {.commonName = "Corvanta Stand-in Holder", .digitalSignature = true})),
        account(defaultAccount(certificateDER)),
        tokenPath(StandInService::tokenPath()),
        userinfoPath(StandInService::userinfoPath()) {}

  // Records the request and decides its answer.
  Reply handle(const RecordedRequest& request) {
    const std::lock_guard lock(mutex);
    requests.push_back(request);
    arrived.notify_all();
    const auto path = request.path();
    if (auto injected = takeInjected(path)) return std::move(*injected);
    return route(request, path);
  }

  std::optional<Reply> takeInjected(const std::string& path) {
    if (const auto queued = onceReplies.find(path); queued != onceReplies.end() && !queued->second.empty()) {
      auto reply = std::move(queued->second.front());
      queued->second.pop_front();
      return reply;
    }
    if (const auto always = alwaysReplies.find(path); always != alwaysReplies.end()) return always->second;
    return std::nullopt;
  }

  Reply route(const RecordedRequest& request, const std::string& path) {
    const auto expect = [&](std::string_view method, auto&& answer) {
      return request.method == method ? answer() : serviceError(405, "method_not_allowed");
    };
    if (path == tokenPath) return expect("POST", [&] { return token(request); });
    if (path == userinfoPath) return expect("GET", [&] { return userinfo(request); });
    if (path == rolesPath) return expect("GET", [&] { return roles(request); });
    if (path == certificatesPath) return expect("GET", [&] { return forRole(request, certificatesData); });
    if (path == billingPath) return expect("GET", [&] { return forRole(request, billingData); });
    if (path == signHashPath) return expect("POST", [&] { return signHash(request); });
    return serviceError(404, "not_found");
  }

  // -- Identity provider

  Reply token(const RecordedRequest& request) {
    if (!hasMediaType(request, "application/x-www-form-urlencoded")) return oauthError("invalid_request");
    const auto fields = parseForm(request.body);
    if (!fields || hasRepeatedName(*fields)) return oauthError("invalid_request");
    const auto* clientID = fieldValue(*fields, "client_id");
    if (clientID == nullptr || *clientID != CorvantaEndpoints::clientID) return oauthError("invalid_client");
    const auto* grantType = fieldValue(*fields, "grant_type");
    if (grantType == nullptr) return oauthError("invalid_request");
    if (*grantType == "authorization_code") return exchangeCode(*fields);
    if (*grantType == "refresh_token") return refresh(*fields);
    return oauthError("unsupported_grant_type");
  }

  Reply exchangeCode(const FormFields& fields) {
    const auto* code = fieldValue(fields, "code");
    const auto* redirectURI = fieldValue(fields, "redirect_uri");
    const auto* verifier = fieldValue(fields, "code_verifier");
    if (code == nullptr || redirectURI == nullptr || verifier == nullptr) return oauthError("invalid_request");
    const auto found = std::find_if(authorizations.begin(), authorizations.end(),
                                    [&](const Authorization& authorization) { return authorization.code == *code; });
    if (found == authorizations.end()) return oauthError("invalid_grant");
    const Authorization authorization = *found;
    authorizations.erase(found);
    if (authorization.redirectURI != *redirectURI || !isPKCEVerifier(*verifier) ||
        StandInService::codeChallenge(*verifier) != authorization.codeChallenge) {
      return oauthError("invalid_grant");
    }
    return issueTokens();
  }

  Reply refresh(const FormFields& fields) {
    const auto* refreshToken = fieldValue(fields, "refresh_token");
    if (refreshToken == nullptr) return oauthError("invalid_request");
    if (!refreshTokens.contains(*refreshToken)) return oauthError("invalid_grant");
    return issueTokens();
  }

  Reply issueTokens() {
    json::object answer;
    answer["access_token"] = json::string(newAccessToken());
    answer["token_type"] = json::string(tokenPolicy.tokenType);
    answer["expires_in"] = tokenPolicy.expiresIn;
    if (tokenPolicy.issueRefreshToken) {
      auto refreshToken = "stand-in-refresh-" + std::to_string(++tokensIssued);
      refreshTokens.insert(refreshToken);
      answer["refresh_token"] = json::string(refreshToken);
    }
    return jsonReply(200, answer);
  }

  std::string newAccessToken() {
    auto accessToken = "stand-in-access-" + std::to_string(++tokensIssued);
    accessTokens.insert(accessToken);
    return accessToken;
  }

  Reply userinfo(const RecordedRequest& request) {
    if (!bearerAccepted(request)) return jsonReply(401, json::object{{"error", "invalid_token"}});
    json::object profile{{"sub", json::string(account.sub)}};
    setIfPresent(profile, "name", account.name);
    setIfPresent(profile, "preferred_username", account.preferredUsername);
    return jsonReply(200, profile);
  }

  bool bearerAccepted(const RecordedRequest& request) const {
    constexpr std::string_view scheme = "Bearer ";
    const auto value = request.header("Authorization");
    if (!value || value->size() <= scheme.size() || !equalsIgnoringCase(value->substr(0, scheme.size()), scheme)) {
      return false;
    }
    return accessTokens.contains(value->substr(scheme.size()));
  }

  // -- REST API

  Reply roles(const RecordedRequest& request) const {
    if (!bearerAccepted(request)) return Reply::unauthorized();
    json::array roles;
    for (const auto& role : account.roles) roles.push_back(roleObject(role));
    return serviceData(json::object{{"roles", std::move(roles)}});
  }

  // The role the request names in "x-role-uuid", or the refusal.
  std::variant<const Role*, Reply> namedRole(const RecordedRequest& request) const {
    if (!bearerAccepted(request)) return Reply::unauthorized();
    const auto roleUUID = request.header("x-role-uuid");
    if (!roleUUID) return serviceError(400, "role_uuid_missing");
    const auto found = std::find_if(account.roles.begin(), account.roles.end(),
                                    [&](const Role& role) { return role.roleUuid == *roleUUID; });
    if (found == account.roles.end()) return serviceError(403, "role_not_found");
    return &*found;
  }

  Reply forRole(const RecordedRequest& request, json::object (*data)(const Role&)) const {
    auto role = namedRole(request);
    if (auto* refusal = std::get_if<Reply>(&role)) return std::move(*refusal);
    return serviceData(data(*std::get<const Role*>(role)));
  }

  Reply signHash(const RecordedRequest& request) {
    auto role = namedRole(request);
    if (auto* refusal = std::get_if<Reply>(&role)) return std::move(*refusal);
    if (!hasMediaType(request, "application/json")) return serviceError(400, "request_invalid");
    json::value document;
    try {
      document = platform::foundation::parseJSON(request.body);
    } catch (const platform::foundation::DecodingError&) {
      return serviceError(400, "request_invalid");
    }
    const auto* body = document.if_object();
    if (body == nullptr || !hasExactlyMembers(*body, {"usage", "hash_base64", "totp_code", "client_version", "caller"}, false) ||
        !isStringMember(*body, "totp_code")) {
      return serviceError(400, "request_invalid");
    }
    const auto usage = isStringMember(*body, "usage") ? stringMember(*body, "usage") : std::string_view();
    if (usage != "document_signing" && usage != "client_authentication") return serviceError(400, "usage_invalid");
    const auto digest = isStringMember(*body, "hash_base64")
                            ? platform::foundation::base64Decoded(stringMember(*body, "hash_base64"))
                            : std::nullopt;
    const auto algorithm = digest ? signingAlgorithm(keyKind, digest->size()) : std::nullopt;
    if (!algorithm) return serviceError(400, "hash_invalid");
    if (!isStringMember(*body, "client_version") || stringMember(*body, "client_version").empty()) {
      return serviceError(400, "client_version_invalid");
    }
    const auto* caller = body->at("caller").if_object();
    if (caller == nullptr ||
        !hasExactlyMembers(
            *caller, {"signature_status", "publisher_cn", "product_name", "image_path", "local_classification"}, true)) {
      return serviceError(400, "caller_invalid");
    }
    if (!oneTimeCode || stringMember(*body, "totp_code") != *oneTimeCode) return serviceError(400, "totp_code_invalid");
    oneTimeCode.reset();
    json::object data{{"signature_base64", json::string(platform::foundation::base64Encoded(signingKey.sign(*algorithm, *digest)))}};
    if (billed) data["billed"] = *billed ? 1 : 0;
    return serviceData(std::move(data));
  }

  mutable std::mutex mutex;
  mutable std::condition_variable arrived;

  const security::testing::TestKey signingKey;
  const KeyKind keyKind;
  const platform::Bytes certificateDER;
  Account account;
  const std::string tokenPath;
  const std::string userinfoPath;

  std::vector<Authorization> authorizations;
  TokenPolicy tokenPolicy;
  std::uint64_t tokensIssued = 0;
  std::set<std::string, std::less<>> accessTokens;
  std::set<std::string, std::less<>> refreshTokens;

  std::optional<std::string> oneTimeCode;
  std::optional<bool> billed = true;

  std::map<std::string, std::deque<Reply>, std::less<>> onceReplies;
  std::map<std::string, Reply, std::less<>> alwaysReplies;
  std::vector<RecordedRequest> requests;
};

// ---- The HTTPS server ----------------------------------------------------------------------------

struct StandInService::Server {
  explicit Server(const std::shared_ptr<State>& state)
      : authorityFile(directory.write("stand-in-authority.pem", authority.certificatePEM())),
        tls(authority.issue({{"localhost"}, {"127.0.0.1"}}),
            [state](TestTLSServer::Connection& connection) { return serve(state, connection); }) {}

  // One connection, one request: the answer, then the TLS close.
  static asio::awaitable<void> serve(std::shared_ptr<State> state, TestTLSServer::Connection& connection) {
    auto received = co_await connection.receiveRequest();
    if (!received) co_return;
    const RecordedRequest request{std::move(received->method), std::move(received->target),
                                  std::move(received->headers), std::move(received->body)};
    const auto reply = state->handle(request);
    if (reply.kind == Reply::Kind::stall) {
      co_await connection.waitForClose();
      co_return;
    }
    const std::string bytes = reply.kind == Reply::Kind::garbage ? reply.body : framed(reply);
    const bool written = co_await connection.write(bytes);
    if (written) {
      co_await connection.closeTLS();
    } else {
      connection.drop();
    }
  }

  platform::foundation::testing::TemporaryDirectory directory;
  net::testing::TestCertificateAuthority authority{"Corvanta Stand-in Root"};
  std::filesystem::path authorityFile;
  TestTLSServer tls;
};

// ---- The public face -----------------------------------------------------------------------------

StandInService::StandInService(security::testing::TestKey signingKey)
    : state_(std::make_shared<State>(std::move(signingKey))), server_(std::make_unique<Server>(state_)) {}

StandInService::~StandInService() = default;

std::uint16_t StandInService::port() const { return server_->tls.port(); }

std::string StandInService::origin() const { return "https://localhost:" + std::to_string(port()); }

std::string StandInService::issuer() const { return origin() + issuerPath(); }

boost::urls::url StandInService::url(std::string_view pathAndQuery) const {
  if (!pathAndQuery.starts_with('/')) throw std::invalid_argument("a stand-in path starts with '/'");
  return boost::urls::url(boost::urls::parse_absolute_uri(origin() + std::string(pathAndQuery)).value());
}

boost::urls::url StandInService::localURL(boost::urls::url_view serviceURL) const {
  std::string pathAndQuery(serviceURL.encoded_path());
  if (pathAndQuery.empty()) pathAndQuery = "/";
  if (serviceURL.has_query()) pathAndQuery += "?" + std::string(serviceURL.encoded_query());
  return url(pathAndQuery);
}

const std::string& StandInService::certificateAuthorityPEM() const { return server_->authority.certificatePEM(); }

const std::filesystem::path& StandInService::certificateAuthorityFile() const { return server_->authorityFile; }

net::SessionConfiguration StandInService::sessionConfiguration(std::chrono::nanoseconds timeout) const {
  auto configuration = net::SessionConfiguration::ephemeral(timeout);
  configuration.extraCertificateAuthorities = server_->authorityFile;
  return configuration;
}

StandInService::Account StandInService::account() const {
  const std::lock_guard lock(state_->mutex);
  return state_->account;
}

void StandInService::setAccount(Account account) {
  const std::lock_guard lock(state_->mutex);
  state_->account = std::move(account);
}

const security::testing::TestKey& StandInService::signingKey() const { return state_->signingKey; }

const platform::Bytes& StandInService::certificateDER() const { return state_->certificateDER; }

void StandInService::authorize(Authorization authorization) {
  const std::lock_guard lock(state_->mutex);
  state_->authorizations.push_back(std::move(authorization));
}

void StandInService::setTokenPolicy(TokenPolicy policy) {
  const std::lock_guard lock(state_->mutex);
  state_->tokenPolicy = std::move(policy);
}

std::string StandInService::issueAccessToken() {
  const std::lock_guard lock(state_->mutex);
  return state_->newAccessToken();
}

void StandInService::acceptOneTimeCode(std::string code) {
  const std::lock_guard lock(state_->mutex);
  state_->oneTimeCode = std::move(code);
}

void StandInService::setBilled(std::optional<bool> billed) {
  const std::lock_guard lock(state_->mutex);
  state_->billed = billed;
}

void StandInService::answer(std::string_view path, Reply reply, Times times) {
  const std::lock_guard lock(state_->mutex);
  if (times == Times::once) {
    state_->onceReplies[std::string(path)].push_back(std::move(reply));
  } else {
    state_->alwaysReplies.insert_or_assign(std::string(path), std::move(reply));
  }
}

void StandInService::clearAnswers() {
  const std::lock_guard lock(state_->mutex);
  state_->onceReplies.clear();
  state_->alwaysReplies.clear();
}

std::vector<StandInService::RecordedRequest> StandInService::requests() const {
  const std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::vector<StandInService::RecordedRequest> StandInService::requests(std::string_view path) const {
  const std::lock_guard lock(state_->mutex);
  std::vector<RecordedRequest> matching;
  std::copy_if(state_->requests.begin(), state_->requests.end(), std::back_inserter(matching),
               [&](const RecordedRequest& request) { return request.path() == path; });
  return matching;
}

bool StandInService::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  return state_->arrived.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

}  // namespace corvanta::testing

#include "connection/testing/stand_in_service.hpp"

#include "connection/service/account_profile.hpp"
#include "connection/service/account_role.hpp"
#include "connection/service/certificate_collection.hpp"
#include "connection/service/role_allowances.hpp"
#include "connection/service/service_envelope.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/net/ephemeral_session.hpp"
#include "platform/net/network_error.hpp"
#include "platform/security/digest.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_error.hpp"
#include "sign-core/verification_key.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace std::chrono_literals;
using platform::Bytes;
using platform::bytesOf;
using platform::foundation::parseJSON;
using platform::net::EphemeralSession;
using platform::net::HeaderField;
using platform::net::HeaderFields;
using platform::net::NetworkError;
using platform::net::Request;
using platform::net::Response;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;
using StandIn = testing::StandInService;
using Reply = StandIn::Reply;

// Far longer than any exchange here takes on a busy machine: no test waits for it to run out, and a
// stall ends by the client's cancelling or the stand-in's going, never by this limit.
constexpr std::chrono::seconds clientTimeLimit{60};

const TestKey& rsaKey() {
  static const TestKey key = TestKey::rsa(2048);
  return key;
}

// ---- The client side -------------------------------------------------------------------------

struct Outcome {
  std::optional<Response> response;
  std::optional<NetworkError> error;
};

std::string describe(const Outcome& outcome) {
  if (outcome.error) return std::string("NetworkError ") + outcome.error->what();
  return outcome.response ? "HTTP " + std::to_string(outcome.response->status) : "nothing";
}

std::function<void(std::exception_ptr, Response)> recordingInto(Outcome& outcome) {
  return [&outcome](std::exception_ptr failure, Response response) {
    if (!failure) {
      outcome.response = std::move(response);
      return;
    }
    try {
      std::rethrow_exception(failure);
    } catch (const NetworkError& error) {
      outcome.error = error;
    }
  };
}

// One exchange on an io_context of the calling thread.
Outcome perform(const EphemeralSession& session, Request request) {
  asio::io_context io;
  Outcome outcome;
  asio::co_spawn(io, session.send(std::move(request)), recordingInto(outcome));
  io.run();
  return outcome;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string signHashBody(platform::ByteView digest, const std::string& code, const std::string& usage = "document_signing") {
  const json::object caller{{"signature_status", "valid"},
                            {"publisher_cn", "Example Publisher"},
                            {"product_name", "Example Browser"},
                            {"image_path", "/opt/example/browser"},
                            {"local_classification", "browser"}};
  const json::object body{{"usage", json::string(usage)},
                          {"hash_base64", json::string(platform::foundation::base64Encoded(digest))},
                          {"totp_code", json::string(code)},
                          {"client_version", "0.0.12-macos-development"},
                          {"caller", caller}};
  return json::serialize(body);
}

Bytes digestOfLength(std::size_t length) {
  const auto message = bytesOf("the document that is signed");
  switch (length) {
    case 32: return platform::security::sha256(message);
    case 48: return platform::security::sha384(message);
    default: return platform::security::sha512(message);
  }
}

// What the service's error answers hold in "error".
std::vector<std::string> errorCodes(const Response& response) {
  std::vector<std::string> codes;
  const auto document = parseJSON(response.body);
  for (const auto& code : document.at("error").as_array()) codes.emplace_back(code.as_string());
  return codes;
}

struct RolesPayload {
  std::vector<AccountRole> roles;
  static RolesPayload fromJSON(const platform::foundation::JSONObjectReader& reader) {
    return {reader.required<std::vector<AccountRole>>("roles")};
  }
};

class StandInServiceTest : public ::testing::Test {
protected:
  explicit StandInServiceTest(TestKey key = TestKey::ec(Curve::p256)) : service_(std::move(key)) {}

  Request request(std::string method, std::string_view path, HeaderFields headers, std::string body = {}) const {
    Request request;
    request.method = std::move(method);
    request.url = service_.url(path);
    request.headers = std::move(headers);
    request.body = bytesOf(body);
    return request;
  }

  HeaderFields bearer(const std::optional<std::string>& role = std::nullopt) {
    HeaderFields headers{{"Authorization", "Bearer " + token_}, {"Accept", "application/json"}};
    if (role) headers.push_back({"x-role-uuid", *role});
    return headers;
  }

  Request signHash(const std::string& body) {
    auto headers = bearer(roleUUID());
    headers.push_back({"Content-Type", "application/json"});
    return request("POST", StandIn::signHashPath, headers, body);
  }

  Request tokenRequest(const std::map<std::string, std::string>& form) const {
    return request("POST", StandIn::tokenPath(), {{"Content-Type", "application/x-www-form-urlencoded"}},
                   platform::foundation::formURLEncoded(form));
  }

  Response send(Request request) const {
    auto outcome = perform(session_, std::move(request));
    if (!outcome.response) {
      ADD_FAILURE() << "no answer: " << describe(outcome);
      return {};
    }
    return *outcome.response;
  }

  std::string roleUUID() const { return service_.account().roles.at(0).roleUuid; }

  StandIn service_;
  EphemeralSession session_{service_.sessionConfiguration(clientTimeLimit)};
  std::string token_ = service_.issueAccessToken();
};

// ---- Where it answers ------------------------------------------------------------------------

TEST_F(StandInServiceTest, AnswersUnderItsOriginWithTheBuildsPathsAndACertificateOnlyItsAuthorityVouchesFor) {
  EXPECT_EQ(service_.origin(), "https://localhost:" + std::to_string(service_.port()));
  EXPECT_EQ(service_.issuer(), service_.origin() + StandIn::issuerPath());
  EXPECT_TRUE(std::string(CorvantaEndpoints::issuer()).ends_with(StandIn::issuerPath()));
  EXPECT_EQ(service_.localURL(CorvantaEndpoints::rolesURL()), service_.url(StandIn::rolesPath));
  EXPECT_EQ(service_.localURL(CorvantaEndpoints::tokenURL()), service_.url(StandIn::tokenPath()));
  EXPECT_EQ(service_.localURL(CorvantaEndpoints::userinfoURL()).encoded_path(), StandIn::userinfoPath());

  std::ifstream file(service_.certificateAuthorityFile());
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str(), service_.certificateAuthorityPEM());

  Request roles;
  roles.url = service_.localURL(CorvantaEndpoints::rolesURL());
  roles.headers = bearer();
  EXPECT_EQ(send(roles).status, 200);

  const EphemeralSession untrusting(platform::net::SessionConfiguration::ephemeral(clientTimeLimit));
  const auto refused = perform(untrusting, roles);
  ASSERT_TRUE(refused.error) << describe(refused);
  EXPECT_EQ(refused.error->code(), NetworkError::Code::serverCertificateUntrusted);
}

// ---- The identity provider -------------------------------------------------------------------

// RFC 7636, appendix B.
constexpr std::string_view verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";

std::map<std::string, std::string> codeExchange(std::string code, std::string codeVerifier = std::string(verifier)) {
  return {{"grant_type", "authorization_code"},
          {"code", std::move(code)},
          {"redirect_uri", std::string(CorvantaEndpoints::redirect)},
          {"code_verifier", std::move(codeVerifier)},
          {"client_id", "corvanta-desktop"}};
}

std::string oauthError(const Response& response) {
  return std::string(parseJSON(response.body).at("error").as_string());
}

TEST_F(StandInServiceTest, ExchangesARegisteredCodeOnceThenRefreshesWithTheIssuedToken) {
  EXPECT_EQ(StandIn::codeChallenge(verifier), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  service_.authorize({"code-1", StandIn::codeChallenge(verifier)});

  const auto exchanged = send(tokenRequest(codeExchange("code-1")));
  ASSERT_EQ(exchanged.status, 200) << text(exchanged.body);
  EXPECT_EQ(platform::net::headerValue(exchanged.headers, "Content-Type"), "application/json");
  EXPECT_EQ(platform::net::headerValue(exchanged.headers, "Cache-Control"), "no-store");
  const auto tokens = parseJSON(exchanged.body).as_object();
  EXPECT_EQ(tokens.size(), 4U);
  EXPECT_EQ(tokens.at("token_type"), "Bearer");
  EXPECT_EQ(tokens.at("expires_in"), 300);
  const std::string accessToken(tokens.at("access_token").as_string());
  const std::string refreshToken(tokens.at("refresh_token").as_string());
  EXPECT_NE(accessToken, token_);
  EXPECT_EQ(service_.requests(StandIn::tokenPath()).at(0).formValue("code_verifier"), verifier);

  const auto reused = send(tokenRequest(codeExchange("code-1")));
  EXPECT_EQ(reused.status, 400);
  EXPECT_EQ(oauthError(reused), "invalid_grant");

  service_.setTokenPolicy({.expiresIn = 3600, .tokenType = "bearer", .issueRefreshToken = false});
  const auto refreshed =
      send(tokenRequest({{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"client_id", "corvanta-desktop"}}));
  ASSERT_EQ(refreshed.status, 200) << text(refreshed.body);
  const auto renewed = parseJSON(refreshed.body).as_object();
  EXPECT_EQ(renewed.size(), 3U);
  EXPECT_FALSE(renewed.contains("refresh_token"));
  EXPECT_EQ(renewed.at("token_type"), "bearer");
  EXPECT_EQ(renewed.at("expires_in"), 3600);
  const std::string renewedToken(renewed.at("access_token").as_string());
  EXPECT_NE(renewedToken, accessToken);

  token_ = renewedToken;
  const auto userinfo = send(request("GET", StandIn::userinfoPath(), bearer()));
  ASSERT_EQ(userinfo.status, 200);
  EXPECT_EQ(platform::foundation::decodeJSON<AccountProfile>(userinfo.body),
            AccountProfile("b7e3c1a0-5d2f-4a86-9e14-6f0b8d3c2a57", "Alex Tester", "alex.tester"));
}

TEST_F(StandInServiceTest, RefusesTokenRequestsAsAnIdentityProviderDoes) {
  const std::string shortVerifier(42, 'a');
  struct Case {
    const char* name;
    std::map<std::string, std::string> form;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"WrongVerifier", codeExchange("code-wrong-verifier", std::string(43, 'v')), "invalid_grant"},
      {"VerifierTooShortForPKCE", codeExchange("code-short", shortVerifier), "invalid_grant"},
      {"OtherRedirect",
       [] {
         auto form = codeExchange("code-redirect");
         form["redirect_uri"] = "http://localhost:53682/elsewhere";
         return form;
       }(),
       "invalid_grant"},
      {"UnknownCode", codeExchange("code-never-granted"), "invalid_grant"},
      {"OtherClient",
       [] {
         auto form = codeExchange("code-client");
         form["client_id"] = "someone-else";
         return form;
       }(),
       "invalid_client"},
      {"NoClient",
       [] {
         auto form = codeExchange("code-client");
         form.erase("client_id");
         return form;
       }(),
       "invalid_client"},
      {"NoVerifier",
       [] {
         auto form = codeExchange("code-client");
         form.erase("code_verifier");
         return form;
       }(),
       "invalid_request"},
      {"UnknownGrant", {{"grant_type", "password"}, {"client_id", "corvanta-desktop"}}, "unsupported_grant_type"},
      {"UnknownRefreshToken",
       {{"grant_type", "refresh_token"}, {"refresh_token", "stand-in-refresh-999"}, {"client_id", "corvanta-desktop"}},
       "invalid_grant"},
  };
  for (const auto* code : {"code-wrong-verifier", "code-redirect", "code-client"}) {
    service_.authorize({code, StandIn::codeChallenge(verifier)});
  }
  service_.authorize({"code-short", StandIn::codeChallenge(shortVerifier)});
  for (const auto& row : cases) {
    const auto answer = send(tokenRequest(row.form));
    EXPECT_EQ(answer.status, 400) << row.name;
    EXPECT_EQ(oauthError(answer), row.expected) << row.name;
  }

  // A failed exchange used the code up: the right verifier comes too late.
  const auto afterFailure = send(tokenRequest(codeExchange("code-wrong-verifier")));
  EXPECT_EQ(oauthError(afterFailure), "invalid_grant");

  service_.authorize({"code-form", StandIn::codeChallenge(verifier)});
  const auto asJSON = send(request("POST", StandIn::tokenPath(), {{"Content-Type", "application/json"}},
                                   platform::foundation::formURLEncoded(codeExchange("code-form"))));
  EXPECT_EQ(oauthError(asJSON), "invalid_request");
  const auto repeated = send(request("POST", StandIn::tokenPath(), {{"Content-Type", "application/x-www-form-urlencoded"}},
                                     platform::foundation::formURLEncoded(codeExchange("code-form")) + "&code=code-form"));
  EXPECT_EQ(oauthError(repeated), "invalid_request");
}

// ---- The REST API ----------------------------------------------------------------------------

TEST_F(StandInServiceTest, RolesAnswerInTheEnvelopeLeavingAbsentNamesOut) {
  auto account = service_.account();
  StandIn::Role company;
  company.roleUuid = "c0ffee00-1111-4222-8333-444455556666";
  company.roleName = "Signer";
  company.roleCode = "SGN";
  company.companyName = "Example Company";
  account.roles.push_back(company);
  service_.setAccount(account);

  const auto answer = send(request("GET", StandIn::rolesPath, bearer()));
  ASSERT_EQ(answer.status, 200) << text(answer.body);
  EXPECT_EQ(platform::net::headerValue(answer.headers, "Content-Type"), "application/json");
  const auto envelope = Envelope<RolesPayload>::decode(answer.body);
  EXPECT_EQ(envelope.success(), 1);
  EXPECT_EQ(envelope.data().roles,
            (std::vector<AccountRole>{AccountRole(roleUUID(), std::nullopt, std::nullopt, std::nullopt, true),
                                      AccountRole(company.roleUuid, "Signer", "SGN", "Example Company", false)}));
  const auto personal = parseJSON(answer.body).at("data").at("roles").at(0).as_object();
  EXPECT_EQ(personal.size(), 2U);
}

TEST_F(StandInServiceTest, RestAnswersNeedAnIssuedBearerTokenAndAKnownRole) {
  struct Case {
    const char* name;
    std::string path;
    HeaderFields headers;
    int status;
    std::string code;
  };
  const auto role = roleUUID();
  const std::vector<Case> cases{
      {"RolesWithoutToken", std::string(StandIn::rolesPath), {{"Accept", "application/json"}}, 401, "unauthorized"},
      {"RolesWithUnknownToken", std::string(StandIn::rolesPath), {{"Authorization", "Bearer stand-in-access-999"}}, 401,
       "unauthorized"},
      {"RolesWithOtherScheme", std::string(StandIn::rolesPath), {{"Authorization", "Basic " + token_}}, 401, "unauthorized"},
      {"CertificatesWithoutRole", std::string(StandIn::certificatesPath), bearer(), 400, "role_uuid_missing"},
      {"CertificatesOfUnknownRole", std::string(StandIn::certificatesPath), bearer("not-a-role"), 403, "role_not_found"},
      {"BillingOfRoleInOtherCase", std::string(StandIn::billingPath), bearer(platform::foundation::uppercaseHex(bytesOf(role))),
       403, "role_not_found"},
      {"BillingWithoutToken", std::string(StandIn::billingPath), {{"x-role-uuid", role}}, 401, "unauthorized"},
      {"UnknownPath", "/publicapi/v1/account/unknown", bearer(), 404, "not_found"},
  };
  for (const auto& row : cases) {
    const auto answer = send(request("GET", row.path, row.headers));
    EXPECT_EQ(answer.status, row.status) << row.name;
    EXPECT_EQ(errorCodes(answer), std::vector<std::string>{row.code}) << row.name;
    if (row.status == 401) {
      EXPECT_EQ(platform::net::headerValue(answer.headers, "WWW-Authenticate"), "Bearer") << row.name;
    }
  }
  const auto posted = send(request("POST", StandIn::rolesPath, bearer(), "{}"));
  EXPECT_EQ(posted.status, 405);
  const auto userinfo = send(request("GET", StandIn::userinfoPath(), {{"Authorization", "Bearer nobody"}}));
  EXPECT_EQ(userinfo.status, 401);
  EXPECT_EQ(oauthError(userinfo), "invalid_token");
}

TEST_F(StandInServiceTest, CertificatesAndAllowancesOfTheNamedRoleDecodeWithTheSystemsReaders) {
  const auto certificates = send(request("GET", StandIn::certificatesPath, bearer(roleUUID())));
  ASSERT_EQ(certificates.status, 200) << text(certificates.body);
  const auto collection = CertificateCollection::fromData(certificates.body);
  EXPECT_EQ(collection.mode(), CertificateMode::bestEffort);
  ASSERT_EQ(collection.certificates().size(), 1U);
  EXPECT_EQ(collection.certificates().at(0).der(), service_.certificateDER());
  EXPECT_EQ(collection.certificates().at(0).usage(), "document_signing");
  EXPECT_TRUE(collection.certificates().at(0).profile().issues(std::chrono::system_clock::now()).empty());

  const auto billing = send(request("GET", StandIn::billingPath, bearer(roleUUID())));
  ASSERT_EQ(billing.status, 200) << text(billing.body);
  EXPECT_EQ(RoleAllowances::fromData(billing.body), RoleAllowances(25, 10, std::nullopt, true));

  auto account = service_.account();
  auto& role = account.roles.at(0);
  role.dualCertMode = "mandatory";
  role.certificates.push_back({"5d1b0c9e-auth", "client_authentication", "valid", service_.certificateDER(), "PEM CHAIN"});
  role.entitlements = {{"one_sided_documents", std::nullopt}};
  role.spendableAcrossRoles = std::map<std::string, StandIn::Pool>{{"one_sided_documents", {4, 9}},
                                                                   {"authentication_rights", {0, 0}}};
  service_.setAccount(account);

  const auto changed = CertificateCollection::fromData(send(request("GET", StandIn::certificatesPath, bearer(roleUUID()))).body);
  EXPECT_EQ(changed.mode(), CertificateMode::mandatory);
  ASSERT_TRUE(changed.authenticationCertificate());
  EXPECT_EQ(changed.authenticationCertificate()->id(), "5d1b0c9e-auth");
  EXPECT_EQ(changed.authenticationCertificate()->chainPEM(), "PEM CHAIN");
  EXPECT_EQ(RoleAllowances::fromData(send(request("GET", StandIn::billingPath, bearer(roleUUID()))).body),
            RoleAllowances(std::nullopt, 0, 4, false));
}

// ---- Signing -----------------------------------------------------------------------------------

struct KeyCase {
  const char* name;
  std::function<TestKey()> key;
  std::vector<SigningAlgorithm> algorithms;
};

void PrintTo(const KeyCase& keyCase, std::ostream* out) { *out << keyCase.name; }

class StandInSigningTest : public StandInServiceTest, public ::testing::WithParamInterface<KeyCase> {
protected:
  StandInSigningTest() : StandInServiceTest(GetParam().key()) {}
};

TEST_P(StandInSigningTest, SignsEachDigestSoThatTheCertificatesKeyVerifiesIt) {
  const auto certificates = send(request("GET", StandIn::certificatesPath, bearer(roleUUID())));
  const auto key = VerificationKey::fromCertificateDER(CertificateCollection::fromData(certificates.body).certificates().at(0).der());
  for (const auto algorithm : GetParam().algorithms) {
    SCOPED_TRACE(std::string(algorithm.rawValue()));
    const auto digest = digestOfLength(static_cast<std::size_t>(algorithm.digestByteCount()));
    service_.acceptOneTimeCode("123456");
    const auto answer = send(signHash(signHashBody(digest, "123456")));
    ASSERT_EQ(answer.status, 200) << text(answer.body);
    const auto document = parseJSON(answer.body).as_object();
    EXPECT_EQ(document.at("success"), 1);
    const auto& data = document.at("data").as_object();
    EXPECT_EQ(data.at("billed"), 1);
    const auto signature = platform::foundation::base64Decoded(data.at("signature_base64").as_string());
    ASSERT_TRUE(signature);
    EXPECT_NO_THROW(key.verify(*signature, digest, algorithm));

    auto otherDigest = digest;
    otherDigest.at(0) ^= 0x01;
    EXPECT_THROW(key.verify(*signature, otherDigest, algorithm), SigningError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, StandInSigningTest,
    ::testing::Values(KeyCase{"RSA2048", [] { return rsaKey(); },
                              {SigningAlgorithm::rsaPKCS1SHA256, SigningAlgorithm::rsaPKCS1SHA384, SigningAlgorithm::rsaPKCS1SHA512}},
                      KeyCase{"P256", [] { return TestKey::ec(Curve::p256); },
                              {SigningAlgorithm::ecdsaSHA256, SigningAlgorithm::ecdsaSHA384, SigningAlgorithm::ecdsaSHA512}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInServiceTest, AcceptsOnlyTheCodeItWasGivenAndThatCodeOnce) {
  const auto digest = digestOfLength(32);
  const auto withoutCode = send(signHash(signHashBody(digest, "123456")));
  EXPECT_EQ(withoutCode.status, 400);
  EXPECT_EQ(text(withoutCode.body), R"({"success":0,"error":["totp_code_invalid"]})");

  service_.acceptOneTimeCode("246810");
  EXPECT_EQ(errorCodes(send(signHash(signHashBody(digest, "135791")))), std::vector<std::string>{"totp_code_invalid"});
  EXPECT_EQ(send(signHash(signHashBody(digest, "246810"))).status, 200);
  EXPECT_EQ(errorCodes(send(signHash(signHashBody(digest, "246810")))), std::vector<std::string>{"totp_code_invalid"});

  service_.acceptOneTimeCode("975310");
  service_.setBilled(std::nullopt);
  const auto unbilled = parseJSON(send(signHash(signHashBody(digest, "975310", "client_authentication"))).body);
  EXPECT_FALSE(unbilled.at("data").as_object().contains("billed"));
}

TEST_F(StandInServiceTest, RefusesAMalformedSignHashBodyWithoutUsingTheCodeUp) {
  const auto digest = digestOfLength(32);
  const auto valid = parseJSON(signHashBody(digest, "112233")).as_object();
  const auto changed = [&](const std::function<void(json::object&)>& change) {
    auto body = valid;
    change(body);
    return json::serialize(body);
  };
  struct Case {
    const char* name;
    std::string body;
    std::string code;
  };
  const std::vector<Case> cases{
      {"NotJSON", "usage=document_signing", "request_invalid"},
      {"NotAnObject", "[]", "request_invalid"},
      {"ExtraMember", changed([](auto& body) { body["role"] = "x"; }), "request_invalid"},
      {"MissingMember", changed([](auto& body) { body.erase("client_version"); }), "request_invalid"},
      {"CodeAsNumber", changed([](auto& body) { body["totp_code"] = 112233; }), "request_invalid"},
      {"UnknownUsage", changed([](auto& body) { body["usage"] = "signing"; }), "usage_invalid"},
      {"DigestOf31Bytes",
       changed([](auto& body) { body["hash_base64"] = json::string(platform::foundation::base64Encoded(Bytes(31, 7))); }),
       "hash_invalid"},
      {"DigestNotBase64", changed([](auto& body) { body["hash_base64"] = "not base64!"; }), "hash_invalid"},
      {"EmptyClientVersion", changed([](auto& body) { body["client_version"] = ""; }), "client_version_invalid"},
      {"CallerWithoutImagePath", changed([](auto& body) { body["caller"].as_object().erase("image_path"); }),
       "caller_invalid"},
      {"CallerWithNumber", changed([](auto& body) { body["caller"].as_object()["product_name"] = 3; }), "caller_invalid"},
  };
  service_.acceptOneTimeCode("112233");
  for (const auto& row : cases) {
    const auto answer = send(signHash(row.body));
    EXPECT_EQ(answer.status, 400) << row.name;
    EXPECT_EQ(errorCodes(answer), std::vector<std::string>{row.code}) << row.name;
  }
  auto headers = bearer(roleUUID());
  headers.push_back({"Content-Type", "text/plain"});
  EXPECT_EQ(errorCodes(send(request("POST", StandIn::signHashPath, headers, signHashBody(digest, "112233")))),
            std::vector<std::string>{"request_invalid"});

  EXPECT_EQ(send(signHash(signHashBody(digest, "112233"))).status, 200);
}

// ---- Replies in place of the answer ------------------------------------------------------------

TEST_F(StandInServiceTest, AnswersTooManyRequestsWithAndWithoutMinutesOnceEach) {
  service_.answer(StandIn::signHashPath, Reply::tooManyRequests(7));
  service_.answer(StandIn::signHashPath, Reply::tooManyRequests(std::nullopt));
  service_.acceptOneTimeCode("123456");
  const auto body = signHashBody(digestOfLength(48), "123456");

  const auto withMinutes = send(signHash(body));
  EXPECT_EQ(withMinutes.status, 429);
  EXPECT_EQ(text(withMinutes.body), R"({"success":0,"error":["totp_locked"],"data":{"retry_after_minutes":7}})");
  const auto withoutMinutes = send(signHash(body));
  EXPECT_EQ(withoutMinutes.status, 429);
  EXPECT_EQ(text(withoutMinutes.body), R"({"success":0,"error":["totp_locked"]})");
  EXPECT_EQ(send(signHash(body)).status, 200);
  EXPECT_EQ(service_.requests(StandIn::signHashPath).size(), 3U);
}

TEST_F(StandInServiceTest, AnswersAGivenStatusAndBodyUntilCleared) {
  service_.answer(StandIn::rolesPath, Reply::withStatus(503, "down for maintenance", "text/plain"), StandIn::Times::always);
  service_.answer(StandIn::rolesPath, Reply::unauthorized());
  const auto first = send(request("GET", StandIn::rolesPath, bearer()));
  EXPECT_EQ(first.status, 401);
  EXPECT_EQ(text(first.body), R"({"success":0,"error":["unauthorized"]})");
  for (int round = 0; round < 2; ++round) {
    const auto answer = send(request("GET", StandIn::rolesPath, bearer()));
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(text(answer.body), "down for maintenance");
    EXPECT_EQ(platform::net::headerValue(answer.headers, "Content-Type"), "text/plain");
  }
  EXPECT_EQ(send(request("GET", StandIn::billingPath, bearer(roleUUID()))).status, 200);
  service_.clearAnswers();
  EXPECT_EQ(send(request("GET", StandIn::rolesPath, bearer())).status, 200);
}

TEST_F(StandInServiceTest, AnOversizedBodyGoesPastTheClientsCap) {
  service_.answer(StandIn::rolesPath, Reply::oversized(), StandIn::Times::always);
  const auto capped = perform(session_, request("GET", StandIn::rolesPath, bearer()));
  ASSERT_TRUE(capped.error) << describe(capped);
  EXPECT_EQ(capped.error->code(), NetworkError::Code::bodyTooLarge);

  auto roomy = service_.sessionConfiguration(clientTimeLimit);
  roomy.bodyLimit = 2 * StandIn::overBodyLimit;
  const auto whole = perform(EphemeralSession(roomy), request("GET", StandIn::rolesPath, bearer()));
  ASSERT_TRUE(whole.response) << describe(whole);
  EXPECT_EQ(whole.response->body.size(), StandIn::overBodyLimit);
  EXPECT_GT(StandIn::overBodyLimit, platform::net::SessionConfiguration::defaultBodyLimit);
  EXPECT_NO_THROW(parseJSON(whole.response->body));
}

TEST_F(StandInServiceTest, GarbageIsNoHTTPAnswer) {
  service_.answer(StandIn::signHashPath, Reply::garbage());
  const auto outcome = perform(session_, signHash("{}"));
  ASSERT_TRUE(outcome.error) << describe(outcome);
  EXPECT_EQ(outcome.error->code(), NetworkError::Code::badServerResponse);
}

// A client on a thread of its own, so that the test can act while the exchange waits.
class BackgroundCall {
public:
  BackgroundCall(const EphemeralSession& session, Request request) {
    asio::co_spawn(io_, session.send(std::move(request)), asio::bind_cancellation_slot(signal_.slot(), recordingInto(outcome_)));
    thread_ = std::thread([this] { io_.run(); });
  }
  ~BackgroundCall() { finish(); }

  void cancel() {
    asio::post(io_, [this] { signal_.emit(asio::cancellation_type::terminal); });
  }

  const Outcome& finish() {
    if (thread_.joinable()) thread_.join();
    return outcome_;
  }

private:
  asio::io_context io_;
  asio::cancellation_signal signal_;
  Outcome outcome_;
  std::thread thread_;
};

TEST(StandInServiceStallTest, AStallLastsUntilTheStandInGoesAndDoesNotHoldOtherRequests) {
  auto service = std::make_unique<StandIn>(TestKey::ec(Curve::p256));
  service->answer(StandIn::signHashPath, Reply::stall());
  const EphemeralSession session(service->sessionConfiguration(clientTimeLimit));
  Request stalled;
  stalled.method = "POST";
  stalled.url = service->url(StandIn::signHashPath);
  stalled.body = bytesOf("{}");
  BackgroundCall call(session, stalled);
  EXPECT_TRUE(service->waitForRequests(1, clientTimeLimit));

  Request roles;
  roles.url = service->url(StandIn::rolesPath);
  roles.headers = {{"Authorization", "Bearer " + service->issueAccessToken()}};
  const auto meanwhile = perform(session, roles);
  ASSERT_TRUE(meanwhile.response) << describe(meanwhile);
  EXPECT_EQ(meanwhile.response->status, 200);

  service.reset();
  const auto& outcome = call.finish();
  ASSERT_TRUE(outcome.error) << describe(outcome);
  EXPECT_EQ(outcome.error->code(), NetworkError::Code::networkConnectionLost);
}

TEST_F(StandInServiceTest, AStallEndsWhenTheClientGoesAway) {
  service_.answer(StandIn::signHashPath, Reply::stall());
  service_.acceptOneTimeCode("123456");
  const auto body = signHashBody(digestOfLength(64), "123456");
  BackgroundCall call(session_, signHash(body));
  EXPECT_TRUE(service_.waitForRequests(1, clientTimeLimit));
  call.cancel();
  const auto& outcome = call.finish();
  ASSERT_TRUE(outcome.error) << describe(outcome);
  EXPECT_EQ(outcome.error->code(), NetworkError::Code::cancelled);

  // The stall was for one request only; the code was never looked at.
  EXPECT_EQ(send(signHash(body)).status, 200);
}

// ---- Records -----------------------------------------------------------------------------------

TEST_F(StandInServiceTest, RecordsEveryRequestAsItCameOffTheWire) {
  const auto body = signHashBody(digestOfLength(32), "000000");
  const HeaderFields sent{{"Authorization", "Bearer " + token_},
                          {"x-role-uuid", roleUUID()},
                          {"Content-Type", "application/json"},
                          {"Accept", "application/json"},
                          {"User-Agent", "stand-in-test"}};
  EXPECT_EQ(send(request("POST", StandIn::signHashPath, sent, body)).status, 400);
  EXPECT_EQ(send(request("GET", std::string(StandIn::rolesPath) + "?page=1", bearer())).status, 200);
  EXPECT_EQ(send(request("GET", "/nowhere", {})).status, 404);

  const auto all = service_.requests();
  ASSERT_EQ(all.size(), 3U);
  const auto& signing = all.at(0);
  EXPECT_EQ(signing.method, "POST");
  EXPECT_EQ(signing.target, StandIn::signHashPath);
  EXPECT_EQ(signing.body, body);
  HeaderFields onTheWire{{"Host", "localhost:" + std::to_string(service_.port())}};
  onTheWire.insert(onTheWire.end(), sent.begin(), sent.end());
  onTheWire.push_back({"Content-Length", std::to_string(body.size())});
  onTheWire.push_back({"Connection", "close"});
  EXPECT_EQ(signing.headers, onTheWire);
  EXPECT_EQ(signing.header("X-ROLE-UUID"), roleUUID());
  EXPECT_FALSE(signing.header("Cookie"));

  EXPECT_EQ(all.at(1).target, std::string(StandIn::rolesPath) + "?page=1");
  EXPECT_EQ(all.at(1).path(), StandIn::rolesPath);
  EXPECT_EQ(service_.requests(StandIn::rolesPath).size(), 1U);
  EXPECT_EQ(service_.requests(StandIn::signHashPath).size(), 1U);
  EXPECT_EQ(all.at(2).path(), "/nowhere");
  EXPECT_TRUE(service_.waitForRequests(3, 0ms));
  EXPECT_FALSE(service_.waitForRequests(4, 0ms));
}

}  // namespace
}  // namespace corvanta

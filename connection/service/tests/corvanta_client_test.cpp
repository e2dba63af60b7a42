#include "connection/service/corvanta_client.hpp"

#include "connection/service/account_profile.hpp"
#include "connection/service/account_role.hpp"
#include "connection/service/certificate_collection.hpp"
#include "connection/service/certificate_mode.hpp"
#include "connection/service/role_allowances.hpp"
#include "connection/service/tests/service_answer.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/session_authorization.hpp"
#include "connection/testing/fake_http_transport.hpp"
#include "connection/testing/session_test_support.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/net/header_field.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/security/testing/test_key.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/url.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::net::HeaderFields;
using platform::net::NetworkError;
using platform::runtime::CancellationError;
using testing::expectError;
using testing::FakeHTTPTransport;
using testing::StandInService;
using testing::Started;
using testing::StandInTransport;
using FakeReply = FakeHTTPTransport::Reply;
using StandInReply = StandInService::Reply;

// ---- The four operations, as rows of a table ------------------------------------------------------

enum class Operation { account, roles, certificates, allowances };

struct Endpoint {
  std::string name;
  Operation operation;
  const boost::urls::url& (*url)();
  // The path of the same request at the stand-in.
  std::string standInPath;
  // Whether the request names the role.
  bool takesRole;
  // A body the operation accepts.
  std::string acceptedBody;
};

const std::vector<Endpoint>& endpoints() {
  static const std::vector<Endpoint> all{
      {"account", Operation::account, &CorvantaEndpoints::userinfoURL, StandInService::userinfoPath(), false,
       R"({"sub":"subject-1"})"},
      {"roles", Operation::roles, &CorvantaEndpoints::rolesURL, std::string(StandInService::rolesPath), false,
       R"({"success":1,"data":{"roles":[]}})"},
      {"certificates", Operation::certificates, &CorvantaEndpoints::certificatesURL,
       std::string(StandInService::certificatesPath), true,
       R"({"success":1,"data":{"dual_cert_mode":"best_effort","certificates":[]}})"},
      {"allowances", Operation::allowances, &CorvantaEndpoints::billingURL, std::string(StandInService::billingPath),
       true, R"({"success":1,"data":{"entitlements":[]}})"},
  };
  return all;
}

const Endpoint& endpoint(Operation operation) {
  const auto& all = endpoints();
  return *std::find_if(all.begin(), all.end(), [&](const Endpoint& e) { return e.operation == operation; });
}

// Runs one operation and drops its value. Takes the client by value: the coroutine may outlive
// the caller's frame.
asio::awaitable<void> perform(CorvantaClient client, Operation operation, std::string roleID) {
  if (operation == Operation::account) {
    auto loading = client.account();
    co_await std::move(loading);
  } else if (operation == Operation::roles) {
    auto loading = client.roles();
    co_await std::move(loading);
  } else if (operation == Operation::certificates) {
    auto loading = client.certificates(std::move(roleID));
    co_await std::move(loading);
  } else {
    auto loading = client.allowances(std::move(roleID));
    co_await std::move(loading);
  }
}

class ClientTest : public testing::CoroutineTest {
protected:
  using CoroutineTest::run;
  void run(Operation operation, std::string roleID) { run(perform(client(), operation, std::move(roleID))); }
  void run(Operation operation) { run(operation, defaultRole()); }

  Started<void> start(Operation operation) { return CoroutineTest::start(perform(client(), operation, defaultRole())); }

  virtual CorvantaClient client() const = 0;
  // The role the certificates and allowances are asked for when a test names none.
  virtual std::string defaultRole() const { return "role-1"; }

  bool signedIn() { return run(session()->canAuthorize()); }
  virtual std::shared_ptr<OAuthSession> session() const = 0;
};

// ---- Over a scripted transport ----------------------------------------------------------------------

class ClientOverFakeTest : public ClientTest {
protected:
  CorvantaClient client() const override { return CorvantaClient(session_, transport); }
  std::shared_ptr<OAuthSession> session() const override { return session_; }

  // A sign-in whose tokens carry this access token.
  void signIn(const std::string& accessToken) {
    signInThrough(*session_, *transport, testing::tokens({.access = accessToken, .refresh = "r"}));
  }

  std::size_t requestsTo(const Endpoint& endpoint) const { return transport->requests(endpoint.url()).size(); }

  std::shared_ptr<FakeHTTPTransport> transport = std::make_shared<FakeHTTPTransport>();
  std::shared_ptr<OAuthSession> session_ = std::make_shared<OAuthSession>(io.get_executor(), transport, clock);
};

TEST(CorvantaClient, NeedsASessionAndATransport) {
  asio::io_context io;
  auto transport = std::make_shared<FakeHTTPTransport>();
  auto session = std::make_shared<OAuthSession>(io.get_executor(), transport);
  EXPECT_THROW(CorvantaClient(nullptr, transport), std::invalid_argument);
  EXPECT_THROW(CorvantaClient(session, nullptr), std::invalid_argument);
  const CorvantaClient client(session, transport);
  EXPECT_EQ(client.session(), session);
  EXPECT_EQ(client.transport(), transport);
}

TEST_F(ClientOverFakeTest, SendsOneGetWithTheBearerTokenAndTheRoleExactlyAsGiven) {
  signIn("access-1");
  // Not trimmed, not normalised, not ASCII: the header carries the caller's bytes.
  const std::string role = "R\xC3\xB4le_\xC3\x84-7\xE2\x80\x8B";
  for (const auto& endpoint : endpoints()) {
    transport->answer(endpoint.url(), FakeReply::status(200, endpoint.acceptedBody));
    run(endpoint.operation, role);

    const auto requests = transport->requests(endpoint.url());
    ASSERT_EQ(requests.size(), 1u) << endpoint.name;
    const auto& request = requests.front();
    EXPECT_EQ(request.method, "GET") << endpoint.name;
    EXPECT_EQ(request.url.buffer(), endpoint.url().buffer()) << endpoint.name;
    HeaderFields expected{{"Authorization", "Bearer access-1"}, {"Accept", "application/json"}};
    if (endpoint.takesRole) expected.push_back({"x-role-uuid", role});
    EXPECT_EQ(request.headers, expected) << endpoint.name;
    EXPECT_TRUE(request.body.empty()) << endpoint.name;
    EXPECT_EQ(request.timeout, 60s) << endpoint.name;
  }
}

TEST_F(ClientOverFakeTest, WithoutASignInNothingIsSent) {
  for (const auto& endpoint : endpoints()) {
    expectError([&] { run(endpoint.operation); }, ConnectionError::notSignedIn, endpoint.name);
  }
  signIn("access-1");
  run(session_->logout());
  for (const auto& endpoint : endpoints()) {
    expectError([&] { run(endpoint.operation); }, ConnectionError::notSignedIn, endpoint.name + " after sign-out");
  }
  EXPECT_EQ(transport->requestCount(), 1u) << "only the code exchange";
}

// An answer belongs to the sign-in its token came from. Whatever it says, once that sign-in has
// ended or been replaced it is dropped: a 200 is not decoded, a 401 does not end the new sign-in.
TEST_F(ClientOverFakeTest, AnAnswerForAnEndedOrReplacedSignInIsStaleWhateverItSays) {
  struct Answer {
    std::string name;
    std::function<FakeReply(const Endpoint&)> reply;
  };
  const std::vector<Answer> answers{
      {"200 with an accepted body", [](const Endpoint& e) { return FakeReply::status(200, e.acceptedBody); }},
      {"200 that is not JSON", [](const Endpoint&) { return FakeReply::status(200, "<html>"); }},
      {"401", [](const Endpoint&) { return FakeReply::status(401, R"({"success":0})"); }},
      {"500", [](const Endpoint&) { return FakeReply::status(500); }},
  };
  for (const bool signInAgain : {false, true}) {
    for (const auto& endpoint : endpoints()) {
      for (const auto& answer : answers) {
        const auto name = endpoint.name + ", " + answer.name + (signInAgain ? ", signed in anew" : ", signed out");
        signIn("access-1");
        const auto held = transport->hold(endpoint.url());
        const auto call = start(endpoint.operation);
        ASSERT_TRUE(runUntil([&] { return held->hasArrived(); })) << name;

        run(session_->logout());
        if (signInAgain) signIn("access-2");
        held->release(answer.reply(endpoint));
        ASSERT_TRUE(runUntil([&] { return call.hasEnded(); })) << name;
        expectError([&] { call.get(); }, ConnectionError::staleSession, name);

        EXPECT_EQ(signedIn(), signInAgain) << name;
        if (signInAgain) {
          EXPECT_EQ(run(session_->authorization()).accessToken, "access-2") << name;
          // Not even the accepted profile was bound to the new sign-in.
          expectError([&] { run(session_->authorization(std::string("subject-1"))); }, ConnectionError::staleSession,
                      name);
        }
      }
    }
  }
}

TEST_F(ClientOverFakeTest, ACallCancelledBeforeItsRequestSendsNothing) {
  for (const auto& endpoint : endpoints()) {
    signIn("access-1");
    const auto call = start(endpoint.operation);
    call.cancel();
    ASSERT_TRUE(runUntil([&] { return call.hasEnded(); })) << endpoint.name;
    expectError([&] { call.get(); }, CancellationError(), endpoint.name);
    EXPECT_EQ(requestsTo(endpoint), 0u) << endpoint.name;
    EXPECT_TRUE(signedIn()) << endpoint.name;
  }
}

TEST_F(ClientOverFakeTest, ACancelledExchangeEndsWithTheNetworksOwnError) {
  for (const auto& endpoint : endpoints()) {
    signIn("access-1");
    const auto held = transport->hold(endpoint.url());
    const auto call = start(endpoint.operation);
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); })) << endpoint.name;
    call.cancel();
    ASSERT_TRUE(runUntil([&] { return call.hasEnded(); })) << endpoint.name;
    expectError([&] { call.get(); }, NetworkError(NetworkError::Code::cancelled), endpoint.name);
    EXPECT_TRUE(held->wasCancelled()) << endpoint.name;
    EXPECT_TRUE(signedIn()) << endpoint.name;
  }
}

// The caller gave up while the answer was on its way: even a 401 is then not acted on.
TEST_F(ClientOverFakeTest, AnAnswerThatArrivesAfterTheCallerWasCancelledIsNotUsed) {
  for (const auto& endpoint : endpoints()) {
    signIn("access-1");
    const auto held = transport->hold(endpoint.url(), FakeHTTPTransport::OnCancel::keepWaiting);
    const auto call = start(endpoint.operation);
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); })) << endpoint.name;
    call.cancel();
    held->release(FakeReply::status(401));
    ASSERT_TRUE(runUntil([&] { return call.hasEnded(); })) << endpoint.name;
    expectError([&] { call.get(); }, CancellationError(), endpoint.name);
    EXPECT_TRUE(signedIn()) << endpoint.name;
  }
}

TEST_F(ClientOverFakeTest, TransportErrorsPassThroughUnchanged) {
  signIn("access-1");
  for (const auto& endpoint : endpoints()) {
    transport->answer(endpoint.url(), FakeReply::failure(NetworkError(NetworkError::Code::timedOut)));
    expectError([&] { run(endpoint.operation); }, NetworkError(NetworkError::Code::timedOut), endpoint.name);
    transport->answer(endpoint.url(), FakeReply::failure(ConnectionError::responseTooLarge));
    expectError([&] { run(endpoint.operation); }, ConnectionError::responseTooLarge, endpoint.name);
    EXPECT_EQ(requestsTo(endpoint), 2u) << endpoint.name << ": nothing is retried";
  }
  EXPECT_TRUE(signedIn());
}

// ---- Over HTTPS against the stand-in service -------------------------------------------------------

class ClientOverStandInTest : public ClientTest {
protected:
  ClientOverStandInTest() {
    signInAt(*session_, service, "the-code");
    accessToken = run(session_->accessToken());
  }

  CorvantaClient client() const override { return CorvantaClient(session_, transport); }
  std::shared_ptr<OAuthSession> session() const override { return session_; }

  std::string roleUUID() const { return service.account().roles.at(0).roleUuid; }
  std::string defaultRole() const override { return roleUUID(); }

  std::vector<StandInService::RecordedRequest> requestsTo(const Endpoint& endpoint) const {
    return service.requests(endpoint.standInPath);
  }

  // Declared first: the transport refers to it, and it answers until every request has ended.
  StandInService service{platform::security::testing::TestKey::ec(platform::security::testing::Curve::p256)};
  std::shared_ptr<StandInTransport> transport = std::make_shared<StandInTransport>(service);
  std::shared_ptr<OAuthSession> session_ = std::make_shared<OAuthSession>(io.get_executor(), transport);
  std::string accessToken;
};

TEST_F(ClientOverStandInTest, LoadsTheProfileRolesCertificatesAndAllowances) {
  const auto der = service.certificateDER();
  StandInService::Account account;
  account.sub = "user-7";
  account.name = "Ana Pop";
  account.preferredUsername = "ana";
  StandInService::Role personal;
  personal.roleUuid = "6b0e2d57-5c1f-4a3e-8d9b-0f7a6c4e2b11";
  personal.isPersonal = true;
  StandInService::Role company;
  company.roleUuid = "a9c4e0f2-3d6b-4f81-b7e5-21d8c9f0a346";
  company.roleName = "Signer";
  company.companyName = "Acme SRL";
  company.dualCertMode = "mandatory";
  company.certificates = {{"cert-doc", "document_signing", "valid", der, "-----BEGIN CERTIFICATE-----\n"},
                          {"cert-auth", "client_authentication", "valid", der, std::nullopt}};
  company.entitlements = {{"one_sided_documents", 7}, {"AUTHENTICATION_RIGHTS", 3}};
  company.spendableAcrossRoles = std::map<std::string, StandInService::Pool>{
      {"one_sided_documents", {2, 9}}, {"authentication_rights", {0, 0}}};
  account.roles = {personal, company};
  service.setAccount(account);

  const auto profile = run(client().account());
  EXPECT_EQ(profile, AccountProfile("user-7", "Ana Pop", "ana"));
  // The account is now the one the session signs for.
  EXPECT_EQ(run(session_->authorization(std::string("user-7"))).accessToken, accessToken);

  const auto roles = run(client().roles());
  ASSERT_EQ(roles.size(), 2u);
  EXPECT_EQ(roles[0], AccountRole(personal.roleUuid, std::nullopt, std::nullopt, std::nullopt, true));
  EXPECT_EQ(roles[1], AccountRole(company.roleUuid, "Signer", std::nullopt, "Acme SRL", false));
  EXPECT_EQ(roles[1].displayName(), "Acme SRL \xC2\xB7 Signer");

  const auto collection = run(client().certificates(company.roleUuid));
  EXPECT_EQ(collection.mode(), CertificateMode::mandatory);
  ASSERT_EQ(collection.certificates().size(), 2u);
  EXPECT_EQ(collection.certificates()[0].id(), "cert-doc");
  EXPECT_EQ(collection.certificates()[0].usage(), "document_signing");
  EXPECT_EQ(collection.certificates()[0].der(), der);
  EXPECT_EQ(collection.certificates()[0].chainPEM(), "-----BEGIN CERTIFICATE-----\n");
  EXPECT_EQ(collection.certificates()[1].id(), "cert-auth");
  EXPECT_EQ(collection.certificates()[1].chainPEM(), "");
  ASSERT_TRUE(collection.authenticationCertificate());
  EXPECT_EQ(collection.authenticationCertificate()->id(), "cert-auth");

  EXPECT_EQ(run(client().allowances(company.roleUuid)), RoleAllowances(7, 3, 2, false));
  EXPECT_EQ(run(client().allowances(personal.roleUuid)), RoleAllowances(0, 0, std::nullopt, false));
}

TEST_F(ClientOverStandInTest, RequestsOnTheWireCarryTheTokenAndOnlyTheirOwnRoleHeader) {
  for (const auto& endpoint : endpoints()) {
    run(endpoint.operation);
    const auto requests = requestsTo(endpoint);
    ASSERT_EQ(requests.size(), 1u) << endpoint.name;
    const auto& request = requests.front();
    EXPECT_EQ(request.method, "GET") << endpoint.name;
    EXPECT_EQ(request.target, endpoint.standInPath) << endpoint.name;
    EXPECT_EQ(request.body, "") << endpoint.name;
    EXPECT_EQ(request.header("Authorization"), "Bearer " + accessToken) << endpoint.name;
    EXPECT_EQ(request.header("Accept"), "application/json") << endpoint.name;
    EXPECT_EQ(request.header("x-role-uuid"), endpoint.takesRole ? std::optional(roleUUID()) : std::nullopt)
        << endpoint.name;
    EXPECT_EQ(request.header("Cookie"), std::nullopt) << endpoint.name;

    // In this order on the wire, whatever the transport adds around them.
    std::vector<std::string> ours;
    for (const auto& field : request.headers) {
      for (const std::string name : {"Authorization", "Accept", "x-role-uuid"}) {
        if (platform::net::headerNameEquals(field.name, name)) ours.push_back(field.name + ": " + field.value);
      }
    }
    std::vector<std::string> expected{"Authorization: Bearer " + accessToken, "Accept: application/json"};
    if (endpoint.takesRole) expected.push_back("x-role-uuid: " + roleUUID());
    EXPECT_EQ(ours, expected) << endpoint.name;
  }
}

TEST_F(ClientOverStandInTest, AnUnauthorizedAnswerEndsTheSignIn) {
  for (const auto& endpoint : endpoints()) {
    SCOPED_TRACE(endpoint.name);
    service.answer(endpoint.standInPath, StandInReply::unauthorized());
    expectError([&] { run(endpoint.operation); }, ConnectionError::notSignedIn, endpoint.name);
    EXPECT_FALSE(signedIn());
    // Every later call finds the session signed out and sends nothing.
    for (const auto& later : endpoints()) {
      expectError([&] { run(later.operation); }, ConnectionError::notSignedIn, endpoint.name + ", then " + later.name);
    }
    EXPECT_EQ(requestsTo(endpoint).size(), 1u);

    signInAt(*session_, service, "code-" + endpoint.name);
    accessToken = run(session_->accessToken());
  }
}

TEST_F(ClientOverStandInTest, AnyOtherStatusFailsWithThatStatusAndKeepsTheSignIn) {
  for (const auto& endpoint : endpoints()) {
    for (const int status : {201, 204, 302, 400, 403, 404, 429, 500, 503}) {
      const auto name = endpoint.name + " " + std::to_string(status);
      service.answer(endpoint.standInPath, StandInReply::withStatus(status, status == 204 ? "" : endpoint.acceptedBody));
      expectError([&] { run(endpoint.operation); }, ConnectionError::requestFailed(status), name);
      EXPECT_TRUE(signedIn()) << name;
    }
    EXPECT_EQ(requestsTo(endpoint).size(), 9u) << endpoint.name;
  }
}

// The profile and the roles report a body that does not decode as the decoder's error; the
// certificates and allowances report it as an unexpected response. The answers' own checks keep
// their errors.
TEST_F(ClientOverStandInTest, EachEndpointReportsABadBodyAsItsOwnError) {
  using testing::dataCorrupted;
  using testing::keyNotFound;
  using testing::typeMismatch;
  const auto invalid = ConnectionError::invalidResponse;
  struct Case {
    Operation operation;
    std::string name;
    std::string body;
    testing::Refusal expected;
  };
  const std::vector<Case> cases{
      {Operation::account, "not JSON", "<html>", dataCorrupted()},
      {Operation::account, "empty", "", dataCorrupted()},
      {Operation::account, "an array", "[]", typeMismatch("")},
      {Operation::account, "no sub", R"({"name":"Ana"})", keyNotFound("sub")},
      {Operation::account, "a number for sub", R"({"sub":7})", typeMismatch("sub")},
      {Operation::account, "an empty sub", R"({"sub":""})", invalid},

      {Operation::roles, "not JSON", "<html>", dataCorrupted()},
      {Operation::roles, "a boolean success", R"({"success":true,"data":{"roles":[]}})", typeMismatch("success")},
      {Operation::roles, "no roles", R"({"success":1,"data":{}})", keyNotFound("data.roles")},
      {Operation::roles, "a role without is_personal", R"({"success":1,"data":{"roles":[{"role_uuid":"a"}]}})",
       keyNotFound("data.roles[0].is_personal")},
      {Operation::roles, "not successful", R"({"success":0,"data":{"roles":[]}})", invalid},

      {Operation::certificates, "not JSON", "<html>", invalid},
      {Operation::certificates, "empty", "", invalid},
      {Operation::certificates, "a boolean success",
       R"({"success":true,"data":{"dual_cert_mode":"mandatory","certificates":[]}})", invalid},
      {Operation::certificates, "no certificates", R"({"success":1,"data":{"dual_cert_mode":"mandatory"}})", invalid},
      {Operation::certificates, "not successful",
       R"({"success":0,"data":{"dual_cert_mode":"mandatory","certificates":[]}})", invalid},
      {Operation::certificates, "an unknown mode",
       R"({"success":1,"data":{"dual_cert_mode":"Mandatory","certificates":[]}})",
       ConnectionError::unknownCertificateMode},
      {Operation::certificates, "DER that is not Base64",
       R"({"success":1,"data":{"dual_cert_mode":"mandatory","certificates":[{"certificate_uuid":"c","usage":"document_signing","status":"valid","certificate_der_base64":"@@"}]}})",
       ConnectionError::invalidCertificate},
      {Operation::certificates, "DER that is no certificate",
       R"({"success":1,"data":{"dual_cert_mode":"mandatory","certificates":[{"certificate_uuid":"c","usage":"document_signing","status":"valid","certificate_der_base64":"MAA="}]}})",
       ConnectionError::invalidCertificate},

      {Operation::allowances, "not JSON", "<html>", invalid},
      {Operation::allowances, "a number for a code", R"({"success":1,"data":{"entitlements":[{"code":1}]}})", invalid},
      {Operation::allowances, "a malformed pool under another key",
       R"({"success":1,"data":{"entitlements":[],"spendable_across_roles":{"foo":{"total":1}}}})", invalid},
      {Operation::allowances, "not successful", R"({"success":2,"data":{"entitlements":[]}})", invalid},
      {Operation::allowances, "a negative remaining",
       R"({"success":1,"data":{"entitlements":[{"code":"one_sided_documents","remaining":-1}]}})", invalid},
  };
  for (const auto& c : cases) {
    const auto& target = endpoint(c.operation);
    service.answer(target.standInPath, StandInReply::withStatus(200, c.body));
    testing::expectRefusal([&] { run(c.operation); }, c.expected, target.name + ", " + c.name);
  }
  EXPECT_TRUE(signedIn());
  // The empty subject bound nothing.
  expectError([&] { run(session_->authorization(std::string())); }, ConnectionError::staleSession, "no account");
}

TEST_F(ClientOverStandInTest, AnAnswerThatIsNotHTTPOrTooLargeIsTheTransportsError) {
  for (const auto& endpoint : endpoints()) {
    service.answer(endpoint.standInPath, StandInReply::garbage());
    expectError([&] { run(endpoint.operation); }, NetworkError(NetworkError::Code::badServerResponse),
                endpoint.name + ", garbage");
    service.answer(endpoint.standInPath, StandInReply::oversized());
    expectError([&] { run(endpoint.operation); }, ConnectionError::responseTooLarge, endpoint.name + ", oversized");
  }
  EXPECT_TRUE(signedIn());
}

TEST_F(ClientOverStandInTest, RoleUUIDsMustBeNonEmptyDistinctAndFreeOfNewlines) {
  const auto rolesAnswer = [](const std::vector<std::string>& uuids) {
    std::vector<std::string> roles;
    for (const auto& uuid : uuids) roles.push_back(R"({"role_uuid":)" + testing::jsonString(uuid) + R"(,"is_personal":false})");
    return R"({"success":1,"data":{"roles":)" + testing::jsonArray(roles) + "}}";
  };
  struct Case {
    std::string name;
    std::vector<std::string> uuids;
    bool accepted;
  };
  const std::vector<Case> cases{
      {"none", {}, true},
      {"distinct", {"a", "b", "A"}, true},
      // Only line breaks are refused here; other white space is the service's business.
      {"with a space, a tab and a no-break space", {"a b", "a\tb", "a\xC2\xA0" "b"}, true},
      {"an empty one", {"a", ""}, false},
      {"the same twice", {"a", "b", "a"}, false},
      {"LF", {"a\nb"}, false},
      {"CR", {"a\r"}, false},
      {"VT", {"\va"}, false},
      {"FF", {"a\fb"}, false},
      {"NEL", {"a\xC2\x85"}, false},
      {"LINE SEPARATOR", {"a\xE2\x80\xA8"}, false},
      {"PARAGRAPH SEPARATOR", {"a\xE2\x80\xA9"}, false},
  };
  for (const auto& c : cases) {
    service.answer(StandInService::rolesPath, StandInReply::withStatus(200, rolesAnswer(c.uuids)));
    if (c.accepted) {
      const auto roles = run(client().roles());
      std::vector<std::string> uuids;
      for (const auto& role : roles) uuids.push_back(role.roleUuid());
      EXPECT_EQ(uuids, c.uuids) << c.name;
    } else {
      expectError([&] { run(client().roles()); }, ConnectionError::invalidResponse, c.name);
    }
  }
}

TEST_F(ClientOverStandInTest, ARoleIdentifierWithWhiteSpaceIsRefusedBeforeAnythingIsSent) {
  const std::vector<std::pair<std::string, std::string>> refused{
      {"empty", ""},
      {"a leading space", " " + roleUUID()},
      {"a trailing space", roleUUID() + " "},
      {"a tab", "a\tb"},
      {"a line feed", "a\nb"},
      {"a carriage return", "a\r"},
      {"a no-break space", "a\xC2\xA0" "b"},
      {"a next line", "a\xC2\x85"},
      {"an ideographic space", "\xE3\x80\x80" "a"},
      {"a line separator", "a\xE2\x80\xA8"},
      {"not UTF-8", "a\xFF" "b"},
  };
  for (const auto operation : {Operation::certificates, Operation::allowances}) {
    for (const auto& [name, roleID] : refused) {
      expectError([&] { run(operation, roleID); }, ConnectionError::invalidResponse,
                  endpoint(operation).name + ", " + name);
    }
    EXPECT_TRUE(requestsTo(endpoint(operation)).empty());
  }
  // The check comes before the session is asked for a token.
  run(session_->logout());
  expectError([&] { run(Operation::certificates, ""); }, ConnectionError::invalidResponse, "signed out");
  expectError([&] { run(Operation::certificates, "good"); }, ConnectionError::notSignedIn, "signed out");
}

TEST_F(ClientOverStandInTest, AnyOtherRoleIdentifierGoesOutByteForByte) {
  for (const auto operation : {Operation::certificates, Operation::allowances}) {
    // A zero-width space is not white space; the stand-in knows no such role.
    const std::string role = "x\xE2\x80\x8By-\xC3\xA9";
    expectError([&] { run(operation, role); }, ConnectionError::requestFailed(403), endpoint(operation).name);
    const auto requests = requestsTo(endpoint(operation));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests.front().header("x-role-uuid"), role);

    // A control character passes this check but never reaches the wire.
    expectError([&] { run(operation, "a\x01" "b"); }, NetworkError(NetworkError::Code::badURL),
                endpoint(operation).name + ", control character");
    EXPECT_EQ(requestsTo(endpoint(operation)).size(), 1u);
  }
}

TEST_F(ClientOverStandInTest, ProfileAndRolesLoadSideBySide) {
  auto profileCall = start(Operation::account);
  auto rolesCall = start(Operation::roles);
  ASSERT_TRUE(runUntil([&] { return profileCall.hasEnded() && rolesCall.hasEnded(); }));
  EXPECT_NO_THROW(profileCall.get());
  EXPECT_NO_THROW(rolesCall.get());
  EXPECT_EQ(requestsTo(endpoint(Operation::account)).size(), 1u);
  EXPECT_EQ(requestsTo(endpoint(Operation::roles)).size(), 1u);
}

}  // namespace
}  // namespace corvanta

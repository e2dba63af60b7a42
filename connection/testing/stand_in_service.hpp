#pragma once

// A local stand-in of the remote service (the identity provider and the REST API) for tests that
// drive the service connection end to end over real HTTPS on 127.0.0.1.
//
// What it serves, all under one origin "https://localhost:<port>" (the real provider and API are
// two hosts; their paths do not collide, so one server answers both):
//
//   POST <issuer path>/protocol/openid-connect/token     (tokenPath())
//     Form body. "client_id" must be "corvanta-desktop".
//     - "grant_type" "authorization_code": "code" must be one the test registered with
//       authorize(), "redirect_uri" the one registered with it, and "code_verifier" a PKCE
//       verifier (43 to 128 unreserved characters) whose S256 challenge is the registered one. A
//       code is used up by the first exchange that names it, whether that exchange succeeds or not.
//     - "grant_type" "refresh_token": "refresh_token" must be one this stand-in issued.
//     Success is 200 {"access_token", "expires_in", "refresh_token" (unless the policy says
//     none), "token_type"} as TokenPolicy says; every token issued is new ("stand-in-access-N",
//     "stand-in-refresh-N") and stays valid for the stand-in's life. A refusal is 400
//     {"error": "invalid_request" | "invalid_client" | "invalid_grant" | "unsupported_grant_type"}.
//   GET <issuer path>/protocol/openid-connect/userinfo   (userinfoPath())
//     200 {"sub", "name"?, "preferred_username"?} of the account.
//   GET /publicapi/v1/account/roles                       200 {"success":1,"data":{"roles":[...]}}
//   GET /publicapi/v1/account/certificates/active         (role in "x-role-uuid")
//     200 {"success":1,"data":{"dual_cert_mode", "certificates":[{"certificate_uuid", "usage",
//     "status", "certificate_der_base64", "certificate_chain_pem"?}]}}
//   GET /publicapi/v1/billing/me                          (role in "x-role-uuid")
//     200 {"success":1,"data":{"entitlements":[{"code","remaining"?}], "spendable_across_roles"?:
//     {code: {"other_roles","total"}}}}
//   POST /publicapi/v1/signing/sign-hash                  (role in "x-role-uuid")
//     JSON body with exactly "usage", "hash_base64", "totp_code", "client_version" and "caller"
//     (an object of exactly "signature_status", "publisher_cn", "product_name", "image_path" and
//     "local_classification", all strings). The digest's length picks the hash (32, 48, 64 bytes:
//     SHA-256, -384, -512) and the signing key's kind the scheme (RSA PKCS#1 v1.5, or ECDSA with a
//     DER signature). Success is 200 {"success":1,"data":{"signature_base64", "billed"?}}. The
//     code must be the one given to acceptOneTimeCode(); a signature uses it up, as the service
//     lets one code authorise one signature. A wrong, used or missing code is 400
//     {"success":0,"error":["totp_code_invalid"]}; a malformed body is 400 with "request_invalid",
//     "usage_invalid", "hash_invalid", "client_version_invalid" or "caller_invalid" instead.
//     The stand-in signs with its signing key whatever certificate the role lists: to get a
//     signature that does not verify, list a certificate of another key.
//
// Every REST and userinfo request needs "Authorization: Bearer <token>" with a token this stand-in
// issued; otherwise 401 ({"success":0,"error":["unauthorized"]}, userinfo {"error":"invalid_token"}).
// A role header that is missing is 400 ("role_uuid_missing"), one naming no role of the account
// 403 ("role_not_found"). Any other path is 404, another method 405. Each connection carries one
// request and is closed after the answer ("Connection: close").
//
// Replies set with answer() take the place of all of this for a path (matched exactly, query
// left out), before any check. Every request read is recorded first, whatever is answered.
//
// Nothing here waits on time: a stalled answer ends when the client closes its connection or the
// stand-in is destroyed. The server runs on a thread of its own; every member function may be
// called from any thread. Destruction stops it and closes every connection.

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/net/ephemeral_session.hpp"
#include "platform/net/header_field.hpp"
#include "platform/security/testing/test_key.hpp"

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::testing {

class StandInService {
public:
  // ---- The account it serves -----------------------------------------------------------------

  struct Certificate {
    std::string certificateUuid;
    std::string usage = "document_signing";
    std::string status = "valid";
    platform::Bytes der;
    // Sent as "certificate_chain_pem" when present, left out otherwise.
    std::optional<std::string> chainPEM;
  };

  struct Entitlement {
    std::string code;
    // Left out of the answer when absent.
    std::optional<std::int64_t> remaining;
  };

  struct Pool {
    std::int64_t otherRoles = 0;
    std::int64_t total = 0;
  };

  // One role with everything the service answers for it.
  struct Role {
    std::string roleUuid;
    // Each is left out of the role object when absent.
    std::optional<std::string> roleName;
    std::optional<std::string> roleCode;
    std::optional<std::string> companyName;
    bool isPersonal = false;
    std::string dualCertMode = "best_effort";
    std::vector<Certificate> certificates;
    std::vector<Entitlement> entitlements;
    // "spendable_across_roles", left out when absent.
    std::optional<std::map<std::string, Pool>> spendableAcrossRoles;
  };

  struct Account {
    std::string sub;
    std::optional<std::string> name;
    std::optional<std::string> preferredUsername;
    // In the order the roles answer lists them.
    std::vector<Role> roles;
  };

  // ---- The identity provider -------------------------------------------------------------------

  // One authorization the browser would have granted: the code that the redirect carried and the
  // PKCE challenge of the sign-in attempt (see codeChallenge()).
  struct Authorization {
    std::string code;
    std::string codeChallenge;
    std::string redirectURI = std::string(CorvantaEndpoints::redirect);
  };

  // What the token endpoint's answers say.
  struct TokenPolicy {
    std::int64_t expiresIn = 300;
    std::string tokenType = "Bearer";
    // False: answers carry no "refresh_token".
    bool issueRefreshToken = true;
  };

  // ---- Replies in place of the normal answer ---------------------------------------------------

  // Build with the static functions.
  struct Reply {
    enum class Kind { answer, garbage, oversized, stall };

    Kind kind = Kind::answer;
    int status = 200;
    std::string body;
    std::string contentType = "application/json";

    // The status and body exactly as given.
    static Reply withStatus(int status, std::string body, std::string contentType = "application/json");
    // 401 {"success":0,"error":["unauthorized"]}.
    static Reply unauthorized();
    // 429 {"success":0,"error":["totp_locked"],"data":{"retry_after_minutes":N}}; without minutes
    // 429 {"success":0,"error":["totp_locked"]}.
    static Reply tooManyRequests(std::optional<std::int64_t> retryAfterMinutes);
    // Bytes that are not HTTP, then the connection closes.
    static Reply garbage();
    // 200 with a JSON body of overBodyLimit bytes, more than a client's 1 MiB cap.
    static Reply oversized();
    // Reads the request and never answers: the connection stays open until the client closes it
    // or the stand-in is destroyed.
    static Reply stall();
  };

  static constexpr std::size_t overBodyLimit = 1'048'576 + 1024;

  // once: used by the next request to the path, after the once-replies set before it.
  // always: used by every request to the path while no once-reply waits, until clearAnswers();
  // replaces an earlier always-reply of the path.
  enum class Times { once, always };

  // ---- What it received ------------------------------------------------------------------------

  struct RecordedRequest {
    std::string method;
    // As on the request line: the path and any query.
    std::string target;
    // In the order of the wire, names as written, duplicates kept.
    platform::net::HeaderFields headers;
    std::string body;

    // The target without its query.
    std::string path() const;
    // The first field of that name, ignoring letter case.
    std::optional<std::string> header(std::string_view name) const;
    // The first field of that name in a form body, decoded ('+' as space); none when the body is
    // not a well-formed form.
    std::optional<std::string> formValue(std::string_view name) const;
  };

  // ---- Paths -----------------------------------------------------------------------------------

  static constexpr std::string_view rolesPath = "/publicapi/v1/account/roles";
  static constexpr std::string_view certificatesPath = "/publicapi/v1/account/certificates/active";
  static constexpr std::string_view billingPath = "/publicapi/v1/billing/me";
  static constexpr std::string_view signHashPath = "/publicapi/v1/signing/sign-hash";

  // The path of the build's issuer (CorvantaEndpoints::issuer()), e.g. "/realms/Corvanta".
  static std::string issuerPath();
  static std::string tokenPath();
  static std::string userinfoPath();

  // The PKCE S256 challenge of a verifier: unpadded base64url of its SHA-256.
  static std::string codeChallenge(std::string_view verifier);

  // ---- Life --------------------------------------------------------------------------------------

  // Starts serving at once, signing with the key (RSA or elliptic curve). The account is a
  // default one: a personal role with one valid "document_signing" certificate of the key
  // (certificateDER()) and allowances of 25 signatures and 10 authentications. No code is
  // accepted until acceptOneTimeCode(). Throws std::runtime_error when the server cannot start.
  explicit StandInService(platform::security::testing::TestKey signingKey);
  ~StandInService();
  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;

  // ---- Where it answers --------------------------------------------------------------------------

  std::uint16_t port() const;
  // "https://localhost:<port>", no trailing '/'.
  std::string origin() const;
  // The origin followed by issuerPath().
  std::string issuer() const;
  // The origin followed by the path (and query), which must start with '/'.
  boost::urls::url url(std::string_view pathAndQuery) const;
  // The same path and query under this stand-in's origin: maps the build's service URLs
  // (CorvantaEndpoints) onto the stand-in.
  boost::urls::url localURL(boost::urls::url_view serviceURL) const;

  // The test authority that issued the server's certificate (for "localhost" and 127.0.0.1).
  const std::string& certificateAuthorityPEM() const;
  // The same PEM in a file that lives as long as the stand-in.
  const std::filesystem::path& certificateAuthorityFile() const;
  // An ephemeral session's configuration with that file as its extra trusted authorities.
  platform::net::SessionConfiguration sessionConfiguration(
      std::chrono::nanoseconds timeout = std::chrono::seconds(45)) const;

  // ---- Configuration -----------------------------------------------------------------------------

  Account account() const;
  void setAccount(Account account);

  const platform::security::testing::TestKey& signingKey() const;
  // The certificate of the signing key that the default account lists: self-signed, valid from an
  // hour ago for a year, key usage digitalSignature.
  const platform::Bytes& certificateDER() const;

  // Registers a code the token endpoint exchanges once.
  void authorize(Authorization authorization);
  void setTokenPolicy(TokenPolicy policy);
  // A new access token, valid as if the token endpoint had issued it.
  std::string issueAccessToken();

  // The one code the sign-hash endpoint accepts next; replaces the earlier one.
  void acceptOneTimeCode(std::string code);
  // "billed" of the sign-hash answer: 1 for true, 0 for false, left out when absent. Default true.
  void setBilled(std::optional<bool> billed);

  void answer(std::string_view path, Reply reply, Times times = Times::once);
  void clearAnswers();

  // ---- Records -------------------------------------------------------------------------------------

  // Every request read, in the order they were read.
  std::vector<RecordedRequest> requests() const;
  // Those whose path() is the path.
  std::vector<RecordedRequest> requests(std::string_view path) const;
  // Waits until at least count requests were read; false when the limit passed first. For a test
  // whose client runs on another thread; returns as soon as the request is there.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const;

private:
  struct State;
  struct Server;

  std::shared_ptr<State> state_;
  std::unique_ptr<Server> server_;
};

}  // namespace corvanta::testing

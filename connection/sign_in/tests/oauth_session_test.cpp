#include "connection/sign_in/oauth_session.hpp"

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/session_authorization.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/testing/fake_http_transport.hpp"
#include "connection/testing/session_test_support.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/security/digest.hpp"
#include "platform/security/testing/test_key.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using platform::net::NetworkError;
using platform::runtime::CancellationError;
using platform::runtime::testing::ManualClock;
using testing::callbackFor;
using testing::expectError;
using testing::FakeHTTPTransport;
using testing::TokenAnswer;
using testing::tokens;
using Reply = FakeHTTPTransport::Reply;

const boost::urls::url& tokenURL() { return CorvantaEndpoints::tokenURL(); }

std::string bodyText(const platform::net::Request& request) {
  return std::string(request.body.begin(), request.body.end());
}

std::string refreshBody(const std::string& refreshToken) {
  return "client_id=corvanta-desktop&grant_type=refresh_token&refresh_token=" + refreshToken;
}

std::string queryItem(boost::urls::url_view url, std::string_view name) {
  for (const auto& param : url.params()) {
    if (param.key == name) return std::string(param.value);
  }
  return {};
}

// ---- The fixture ---------------------------------------------------------------------------------

class OAuthSessionTest : public testing::CoroutineTest {
protected:
  std::shared_ptr<FakeHTTPTransport> transport = std::make_shared<FakeHTTPTransport>();
  std::shared_ptr<OAuthSession> session = std::make_shared<OAuthSession>(io.get_executor(), transport, clock);

  // A sign-in whose code exchange the token endpoint answers with `answer`.
  SignInAttempt signIn(const Reply& answer = tokens({})) { return signInThrough(*session, *transport, answer); }

  std::size_t tokenRequestCount() const { return transport->requests(tokenURL()).size(); }

  // Signs in with tokens of 300 seconds, moves the clock to their refresh point and holds the
  // refresh that the next caller starts.
  std::shared_ptr<const FakeHTTPTransport::Hold> holdTheRefresh(
      FakeHTTPTransport::OnCancel onCancel = FakeHTTPTransport::OnCancel::fail) {
    signIn(tokens({.expiresIn = 300}));
    clock.advance(240s);
    return transport->hold(tokenURL(), onCancel);
  }

  // Lets `caller` start the refresh `held` keeps, then cancels it and waits until it has ended.
  void cancelOnceRefreshing(const testing::Started<std::string>& caller, const FakeHTTPTransport::Hold& held) {
    ASSERT_TRUE(runUntil([&] { return held.hasArrived(); }));
    caller.cancel();
    ASSERT_TRUE(runUntil([&] { return caller.hasEnded(); }));
  }
};

// ---- Code exchange -------------------------------------------------------------------------------

TEST_F(OAuthSessionTest, CodeExchangeSendsTheAttemptsVerifierInTheExactTokenRequest) {
  const auto attempt = run(session->beginSignIn());
  EXPECT_EQ(transport->requestCount(), 0u);
  transport->answer(tokenURL(), tokens({}));

  run(session->completeSignIn(attempt.id(), callbackFor(attempt, "the-code")));

  const auto sent = transport->requests();
  ASSERT_EQ(sent.size(), 1u);
  const auto& request = sent.front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url.buffer(), CorvantaEndpoints::tokenURL().buffer());
  EXPECT_EQ(request.headers, (platform::net::HeaderFields{{"Content-Type", "application/x-www-form-urlencoded"},
                                                          {"Accept", "application/json"}}));
  EXPECT_EQ(request.timeout, std::chrono::seconds(60));
  EXPECT_EQ(bodyText(request), "client_id=corvanta-desktop&code=the-code&code_verifier=" + attempt.verifier() +
                                   "&grant_type=authorization_code"
                                   "&redirect_uri=http%3A%2F%2Flocalhost%3A53682%2Fcallback");
  // The verifier sent is the one whose challenge went to the browser.
  EXPECT_EQ(base64URL(platform::security::sha256(platform::bytesOf(attempt.verifier()))),
            queryItem(attempt.authorizationURL(), "code_challenge"));

  EXPECT_EQ(run(session->accessToken()), "access-1");
  EXPECT_TRUE(run(session->canAuthorize()));
  EXPECT_EQ(transport->requestCount(), 1u) << "a fresh token needs no request";
}

TEST_F(OAuthSessionTest, TokenAnswersAreCheckedAndARefusedOneLeavesNoSignIn) {
  const std::string longToken(65535, 'a');
  struct Case {
    std::string name;
    Reply answer;
    std::optional<ConnectionError> expected;  // none: accepted
  };
  const std::vector<Case> cases = {
      {"the usual answer", tokens({}), std::nullopt},
      {"token type in capitals", tokens({.type = "BEARER"}), std::nullopt},
      {"token type in lower case", tokens({.type = "bearer"}), std::nullopt},
      {"a one-byte token", tokens({.access = "a"}), std::nullopt},
      {"a token of 65535 bytes", tokens({.access = longToken}), std::nullopt},
      {"a token of every visible ASCII character but quote and backslash",
       tokens({.access = "!#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~"}),
       std::nullopt},
      {"a token with U+00A1, just past the controls", tokens({.access = "a\u00A1b"}), std::nullopt},
      {"a lifetime of one second", tokens({.expiresIn = 1}), std::nullopt},
      {"a lifetime of seven days", tokens({.expiresIn = 604800}), std::nullopt},
      {"a lifetime written as 3600.0",
       Reply::status(200, R"({"access_token":"a","expires_in":3600.0,"token_type":"Bearer"})"), std::nullopt},
      {"no refresh token", tokens({.refresh = std::nullopt}), std::nullopt},
      {"a null refresh token",
       Reply::status(200, R"({"access_token":"a","expires_in":60,"refresh_token":null,"token_type":"Bearer"})"),
       std::nullopt},
      {"extra members", Reply::status(200, R"({"access_token":"a","expires_in":60,"token_type":"Bearer",)"
                                           R"("id_token":"x","scope":"openid","refresh_expires_in":1800})"),
       std::nullopt},

      {"status 201", Reply::status(201, TokenAnswer{}.body()), ConnectionError::requestFailed(201)},
      {"status 302", Reply::status(302), ConnectionError::requestFailed(302)},
      {"status 500", Reply::status(500, R"({"error":"server_error"})"), ConnectionError::requestFailed(500)},
      {"a body that is not JSON", Reply::status(200, "<html>"), ConnectionError::invalidResponse},
      {"an empty body", Reply::status(200), ConnectionError::invalidResponse},
      {"a JSON array", Reply::status(200, "[]"), ConnectionError::invalidResponse},
      {"no access token", Reply::status(200, R"({"expires_in":60,"token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"no lifetime", Reply::status(200, R"({"access_token":"a","token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"no token type", Reply::status(200, R"({"access_token":"a","expires_in":60})"),
       ConnectionError::invalidResponse},
      {"a lifetime as text", Reply::status(200, R"({"access_token":"a","expires_in":"3600","token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"a lifetime with a fraction",
       Reply::status(200, R"({"access_token":"a","expires_in":3600.5,"token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"a lifetime as a boolean", Reply::status(200, R"({"access_token":"a","expires_in":true,"token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"a refresh token as a number",
       Reply::status(200, R"({"access_token":"a","expires_in":60,"refresh_token":7,"token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"a token type as a number", Reply::status(200, R"({"access_token":"a","expires_in":60,"token_type":1})"),
       ConnectionError::invalidResponse},
      {"a key given twice",
       Reply::status(200, R"({"access_token":"a","access_token":"b","expires_in":60,"token_type":"Bearer"})"),
       ConnectionError::invalidResponse},
      {"an empty token", tokens({.access = ""}), ConnectionError::invalidResponse},
      {"a token of 65536 bytes", tokens({.access = longToken + "a"}), ConnectionError::invalidResponse},
      {"a token with a space", tokens({.access = "a b"}), ConnectionError::invalidResponse},
      {"a token with a tab", tokens({.access = "a\\tb"}), ConnectionError::invalidResponse},
      {"a token with a line break", tokens({.access = "a\\nb"}), ConnectionError::invalidResponse},
      {"a token with a no-break space", tokens({.access = "a\u00A0b"}), ConnectionError::invalidResponse},
      {"a token with a line separator", tokens({.access = "a\\u2028b"}), ConnectionError::invalidResponse},
      // Such a token would be refused by the transport when it goes into a header, after the
      // signer has used its request up.
      {"a token with NUL", tokens({.access = "a\\u0000b"}), ConnectionError::invalidResponse},
      {"a token with U+0001", tokens({.access = "a\\u0001b"}), ConnectionError::invalidResponse},
      {"a token with ESC", tokens({.access = "a\\u001Bb"}), ConnectionError::invalidResponse},
      {"a token with unit separator", tokens({.access = "a\\u001Fb"}), ConnectionError::invalidResponse},
      {"a token with DEL written out", tokens({.access = "a\x7F" "b"}), ConnectionError::invalidResponse},
      {"a token with DEL escaped", tokens({.access = "a\\u007Fb"}), ConnectionError::invalidResponse},
      {"a token with U+0080", tokens({.access = "a\\u0080b"}), ConnectionError::invalidResponse},
      {"a token with CSI", tokens({.access = "a\\u009Bb"}), ConnectionError::invalidResponse},
      {"a token with U+009F", tokens({.access = "a\\u009Fb"}), ConnectionError::invalidResponse},
      {"token type mac", tokens({.type = "mac"}), ConnectionError::invalidResponse},
      {"token type bearer with a space", tokens({.type = "bearer "}), ConnectionError::invalidResponse},
      {"a lifetime of zero", tokens({.expiresIn = 0}), ConnectionError::invalidResponse},
      {"a negative lifetime", tokens({.expiresIn = -5}), ConnectionError::invalidResponse},
      {"a lifetime over seven days", tokens({.expiresIn = 604801}), ConnectionError::invalidResponse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto attempt = run(session->beginSignIn());
    transport->answer(tokenURL(), c.answer);
    if (!c.expected) {
      run(session->completeSignIn(attempt.id(), callbackFor(attempt)));
      EXPECT_TRUE(run(session->canAuthorize()));
      continue;
    }
    expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); }, *c.expected, c.name);
    EXPECT_FALSE(run(session->canAuthorize()));
    expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn, c.name);
    // The attempt was used up by the exchange.
    expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
                ConnectionError::staleSession, c.name);
  }
}

// The refusals of RFC 6749 section 5.2 come as 400 (or 401 for a client the provider does not
// know): whatever the "error" says, the user learns the status, and nothing is signed in.
TEST_F(OAuthSessionTest, ErrorAnswersOfTheTokenEndpointAreRequestFailedWithTheirStatus) {
  struct Case {
    std::int64_t status;
    std::string error;
  };
  const std::vector<Case> cases = {
      {400, "invalid_request"},       {401, "invalid_client"}, {400, "invalid_grant"},
      {400, "unauthorized_client"},   {400, "unsupported_grant_type"}, {400, "invalid_scope"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const auto attempt = run(session->beginSignIn());
    transport->answer(tokenURL(), Reply::status(c.status, R"({"error":")" + c.error +
                                                              R"(","error_description":"refused"})"));
    expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
                ConnectionError::requestFailed(c.status), c.error);
    EXPECT_FALSE(run(session->canAuthorize()));
  }
}

TEST_F(OAuthSessionTest, TransportErrorsOfTheExchangePassUnchanged) {
  {
    const auto attempt = run(session->beginSignIn());
    transport->answer(tokenURL(), Reply::failure(NetworkError(NetworkError::Code::timedOut)));
    expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
                NetworkError(NetworkError::Code::timedOut));
  }
  {
    const auto attempt = run(session->beginSignIn());
    transport->answer(tokenURL(), Reply::failure(ConnectionError::responseTooLarge));
    expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
                ConnectionError::responseTooLarge);
  }
  EXPECT_FALSE(run(session->canAuthorize()));
}

TEST_F(OAuthSessionTest, ARedirectThatFailsItsCheckLeavesTheAttemptPendingAndSendsNothing) {
  const auto attempt = run(session->beginSignIn());
  const auto redirect = [](const std::string& query) {
    return boost::urls::url(boost::urls::parse_uri("http://localhost:53682/callback?" + query).value());
  };
  const auto issuer = "&iss=" + platform::foundation::percentEncodedUnreserved(CorvantaEndpoints::issuer());

  expectError([&] { run(session->completeSignIn(attempt.id(), redirect("state=wrong" + issuer + "&code=c"))); },
              ConnectionError::invalidCallback, "wrong state");
  const auto denied = redirect("state=" + attempt.state() + issuer + "&error=access_denied");
  expectError([&] { run(session->completeSignIn(attempt.id(), denied)); }, ConnectionError::authorizationDenied,
              "denied");
  EXPECT_EQ(transport->requestCount(), 0u);

  transport->answer(tokenURL(), tokens({}));
  run(session->completeSignIn(attempt.id(), callbackFor(attempt)));
  EXPECT_EQ(run(session->accessToken()), "access-1");
}

TEST_F(OAuthSessionTest, CompletionIsRefusedForAnAttemptThatIsNotPending) {
  const boost::urls::url anyRedirect("http://localhost:53682/callback");
  expectError([&] { run(session->completeSignIn(platform::foundation::UUID::random(), anyRedirect)); },
              ConnectionError::staleSession, "nothing pending");

  const auto first = run(session->beginSignIn());
  const auto second = run(session->beginSignIn());
  expectError([&] { run(session->completeSignIn(first.id(), callbackFor(first))); }, ConnectionError::staleSession,
              "replaced by a later attempt");

  run(session->logout());
  expectError([&] { run(session->completeSignIn(second.id(), callbackFor(second))); },
              ConnectionError::staleSession, "signed out");
  EXPECT_EQ(transport->requestCount(), 0u);
}

TEST_F(OAuthSessionTest, AnExpiredAttemptIsLoginExpiredAndStaysPending) {
  const auto attempt = run(session->beginSignIn());
  clock.advance(SignInAttempt::lifetime);
  expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
              ConnectionError::loginExpired);
  // Still the pending attempt: a second try is judged by the redirect check again, not refused as
  // another sign-in's.
  expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
              ConnectionError::loginExpired);
  EXPECT_EQ(transport->requestCount(), 0u);
}

TEST_F(OAuthSessionTest, ASecondCompletionWhileTheFirstExchangeWaitsIsStale) {
  const auto attempt = run(session->beginSignIn());
  const auto held = transport->hold(tokenURL());
  const auto first = start(session->completeSignIn(attempt.id(), callbackFor(attempt)));
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

  expectError([&] { run(session->completeSignIn(attempt.id(), callbackFor(attempt))); },
              ConnectionError::staleSession);

  held->release(tokens({}));
  ASSERT_TRUE(runUntil([&] { return first.hasEnded(); }));
  EXPECT_NO_THROW(first.get());
  EXPECT_EQ(tokenRequestCount(), 1u);
}

TEST_F(OAuthSessionTest, ASignOutDuringTheExchangeDropsItsTokens) {
  for (const bool newSignIn : {false, true}) {
    SCOPED_TRACE(newSignIn ? "a new sign-in began" : "signed out");
    const auto attempt = run(session->beginSignIn());
    const auto held = transport->hold(tokenURL(), FakeHTTPTransport::OnCancel::keepWaiting);
    const auto completion = start(session->completeSignIn(attempt.id(), callbackFor(attempt)));
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

    if (newSignIn) {
      run(session->beginSignIn());
    } else {
      run(session->logout());
    }
    held->release(tokens({.access = "late"}));
    ASSERT_TRUE(runUntil([&] { return completion.hasEnded(); }));
    expectError([&] { completion.get(); }, ConnectionError::staleSession);
    EXPECT_FALSE(run(session->canAuthorize()));
  }
}

TEST_F(OAuthSessionTest, ACallerCancelledDuringTheExchange) {
  // The real transport aborts the exchange: its cancellation passes through.
  {
    const auto attempt = run(session->beginSignIn());
    const auto held = transport->hold(tokenURL());
    const auto completion = start(session->completeSignIn(attempt.id(), callbackFor(attempt)));
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
    completion.cancel();
    ASSERT_TRUE(runUntil([&] { return completion.hasEnded(); }));
    expectError([&] { completion.get(); }, NetworkError(NetworkError::Code::cancelled));
    EXPECT_TRUE(held->wasCancelled());
  }
  // An answer that still arrives is not used.
  {
    const auto attempt = run(session->beginSignIn());
    const auto held = transport->hold(tokenURL(), FakeHTTPTransport::OnCancel::keepWaiting);
    const auto completion = start(session->completeSignIn(attempt.id(), callbackFor(attempt)));
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
    completion.cancel();
    settle();
    held->release(tokens({}));
    ASSERT_TRUE(runUntil([&] { return completion.hasEnded(); }));
    expectError([&] { completion.get(); }, CancellationError());
    EXPECT_FALSE(run(session->canAuthorize()));
  }
}

TEST_F(OAuthSessionTest, BeginningASignInSignsOutFirst) {
  signIn();
  const auto earlier = run(session->authorization());
  ASSERT_TRUE(run(session->isCurrent(earlier)));

  run(session->beginSignIn());
  EXPECT_FALSE(run(session->isCurrent(earlier)));
  EXPECT_FALSE(run(session->canAuthorize()));
  expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn);
}

TEST_F(OAuthSessionTest, AFailingRandomSourceLeavesNoAttemptPending) {
  bool failing = false;
  const auto random = [&failing](std::span<std::uint8_t> buffer) {
    return !failing && platform::security::copyRandomBytes(buffer);
  };
  const auto flaky = std::make_shared<OAuthSession>(io.get_executor(), transport, clock, random);
  const auto attempt = run(flaky->beginSignIn());

  failing = true;
  expectError([&] { run(flaky->beginSignIn()); }, ConnectionError::invalidResponse);
  expectError([&] { run(flaky->completeSignIn(attempt.id(), callbackFor(attempt))); },
              ConnectionError::staleSession);
  EXPECT_EQ(transport->requestCount(), 0u);
}

// ---- Refresh ---------------------------------------------------------------------------------

TEST_F(OAuthSessionTest, TheRefreshPointFollowsTheLifetime) {
  struct Case {
    std::int64_t expiresIn;
    std::chrono::seconds refreshAfter;
  };
  for (const auto& c : {Case{3600, 3540s}, Case{300, 240s}, Case{120, 96s}, Case{25, 20s}, Case{24, 19s},
                        Case{3, 0s}}) {
    SCOPED_TRACE("expires_in " + std::to_string(c.expiresIn));
    signIn(tokens({.access = "first", .expiresIn = c.expiresIn}));
    const auto signedIn = clock.now();
    const auto before = tokenRequestCount();

    if (c.refreshAfter > 0s) {
      clock.set(signedIn.advancedBy(c.refreshAfter - 1ns));
      EXPECT_EQ(run(session->accessToken()), "first");
      EXPECT_EQ(tokenRequestCount(), before) << "refreshed before its point";
    }
    clock.set(signedIn.advancedBy(c.refreshAfter));
    transport->answer(tokenURL(), tokens({.access = "second", .expiresIn = 3600}));
    EXPECT_EQ(run(session->accessToken()), "second");
    const auto sent = transport->requests(tokenURL());
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(bodyText(sent.back()), refreshBody("refresh-1"));
    EXPECT_EQ(sent.back().method, "POST");
    EXPECT_EQ(sent.back().headers, (platform::net::HeaderFields{{"Content-Type", "application/x-www-form-urlencoded"},
                                                                {"Accept", "application/json"}}));
  }
}

TEST_F(OAuthSessionTest, ConcurrentCallersAtAndAfterTheRefreshPointShareOneRefresh) {
  for (const auto late : {0s, 1000s}) {
    SCOPED_TRACE("at the refresh point plus " + std::to_string(late.count()) + " s");
    signIn(tokens({.expiresIn = 300}));
    clock.advance(240s + late);
    const auto held = transport->hold(tokenURL());
    const auto before = tokenRequestCount();

    const auto first = start(session->accessToken());
    const auto second = start(session->accessToken());
    const auto third = start(session->authorization());
    ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
    settle();
    EXPECT_FALSE(first.hasEnded() || second.hasEnded() || third.hasEnded());

    held->release(tokens({.access = "refreshed", .refresh = "refresh-2"}));
    ASSERT_TRUE(runUntil([&] { return first.hasEnded() && second.hasEnded() && third.hasEnded(); }));
    EXPECT_EQ(first.get(), "refreshed");
    EXPECT_EQ(second.get(), "refreshed");
    EXPECT_EQ(third.get().accessToken, "refreshed");
    EXPECT_TRUE(run(session->isCurrent(third.get())));
    EXPECT_EQ(tokenRequestCount(), before + 1) << "one refresh on the wire";

    // The new tokens are fresh: no further request.
    EXPECT_EQ(run(session->accessToken()), "refreshed");
    EXPECT_EQ(tokenRequestCount(), before + 1);
  }
}

TEST_F(OAuthSessionTest, ARefreshWithoutANewRefreshTokenKeepsTheOldOne) {
  signIn(tokens({.expiresIn = 300}));
  clock.advance(240s);
  transport->answer(tokenURL(), tokens({.access = "second", .refresh = std::nullopt, .expiresIn = 300}));
  EXPECT_EQ(run(session->accessToken()), "second");

  clock.advance(240s);
  transport->answer(tokenURL(), tokens({.access = "third", .refresh = "refresh-3", .expiresIn = 300}));
  EXPECT_EQ(run(session->accessToken()), "third");

  clock.advance(240s);
  transport->answer(tokenURL(), tokens({.access = "fourth", .expiresIn = 300}));
  EXPECT_EQ(run(session->accessToken()), "fourth");

  const auto sent = transport->requests(tokenURL());
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(bodyText(sent[1]), refreshBody("refresh-1"));
  EXPECT_EQ(bodyText(sent[2]), refreshBody("refresh-1"));
  EXPECT_EQ(bodyText(sent[3]), refreshBody("refresh-3"));
}

TEST_F(OAuthSessionTest, WithoutARefreshTokenTheSignInEndsAtTheRefreshPoint) {
  signIn(tokens({.refresh = std::nullopt, .expiresIn = 3600}));
  const auto signedIn = clock.now();
  const auto authorization = run(session->authorization());

  clock.set(signedIn.advancedBy(3540s));
  EXPECT_TRUE(run(session->canAuthorize())) << "the token itself has not expired";
  clock.set(signedIn.advancedBy(3600s - 1ns));
  EXPECT_TRUE(run(session->canAuthorize()));
  clock.set(signedIn.advancedBy(3600s));
  EXPECT_FALSE(run(session->canAuthorize()));

  clock.set(signedIn.advancedBy(3540s));
  expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn);
  EXPECT_FALSE(run(session->canAuthorize()));
  EXPECT_FALSE(run(session->isCurrent(authorization)));
  EXPECT_EQ(tokenRequestCount(), 1u) << "nothing to refresh with";
}

TEST_F(OAuthSessionTest, AnExpiredTokenWithARefreshTokenCanStillBeAuthorized) {
  signIn(tokens({.expiresIn = 300}));
  clock.advance(10h);
  EXPECT_TRUE(run(session->canAuthorize()));
}

TEST_F(OAuthSessionTest, AFailedRefreshEndsTheSignIn) {
  struct Case {
    std::string name;
    Reply answer;
  };
  const std::vector<Case> cases = {
      {"invalid_grant", Reply::status(400, R"({"error":"invalid_grant"})")},
      {"server error", Reply::status(503)},
      {"status 201", Reply::status(201, TokenAnswer{}.body())},
      {"not a token answer", Reply::status(200, "{}")},
      {"a token that is not bearer", tokens({.type = "mac"})},
      {"a token with NUL", tokens({.access = "a\\u0000b"})},
      {"a token with U+0001", tokens({.access = "a\\u0001b"})},
      {"a token with ESC", tokens({.access = "a\\u001Bb"})},
      {"a token with DEL", tokens({.access = "a\x7F" "b"})},
      {"a token with CSI", tokens({.access = "a\\u009Bb"})},
      {"network", Reply::failure(NetworkError(NetworkError::Code::networkConnectionLost))},
      {"too large", Reply::failure(ConnectionError::responseTooLarge)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    signIn(tokens({.expiresIn = 300}));
    const auto earlier = run(session->authorization());
    clock.advance(240s);
    transport->answer(tokenURL(), c.answer);
    const auto before = tokenRequestCount();

    expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn, c.name);
    EXPECT_FALSE(run(session->canAuthorize()));
    EXPECT_FALSE(run(session->isCurrent(earlier)));
    expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn, c.name);
    EXPECT_EQ(tokenRequestCount(), before + 1);
  }
}

TEST_F(OAuthSessionTest, WhenASharedRefreshFailsTheFirstWaiterEndsTheSignInAndTheOthersFindItGone) {
  const auto held = holdTheRefresh();
  const auto first = start(session->accessToken());
  const auto second = start(session->accessToken());
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
  settle();

  held->release(Reply::status(400, R"({"error":"invalid_grant"})"));
  ASSERT_TRUE(runUntil([&] { return first.hasEnded() && second.hasEnded(); }));
  expectError([&] { first.get(); }, ConnectionError::notSignedIn);
  // The sign-in it asked for ended while it waited.
  expectError([&] { second.get(); }, ConnectionError::staleSession);
  EXPECT_FALSE(run(session->canAuthorize()));
  EXPECT_EQ(tokenRequestCount(), 2u);
}

TEST_F(OAuthSessionTest, ACancelledCallerStopsWaitingAndTheSharedRefreshGoesOn) {
  const auto held = holdTheRefresh();
  const auto cancelled = start(session->accessToken());
  const auto waiting = start(session->accessToken());
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
  settle();

  cancelled.cancel();
  ASSERT_TRUE(runUntil([&] { return cancelled.hasEnded(); }));
  expectError([&] { cancelled.get(); }, CancellationError());
  EXPECT_FALSE(waiting.hasEnded());
  EXPECT_FALSE(held->wasCancelled()) << "the refresh was cancelled with its caller";
  EXPECT_TRUE(run(session->canAuthorize()));

  held->release(tokens({.access = "refreshed"}));
  ASSERT_TRUE(runUntil([&] { return waiting.hasEnded(); }));
  EXPECT_EQ(waiting.get(), "refreshed");
  EXPECT_EQ(tokenRequestCount(), 2u);
}

TEST_F(OAuthSessionTest, ARefreshWhoseOnlyCallerWasCancelledServesTheNextCaller) {
  const auto held = holdTheRefresh();
  const auto cancelled = start(session->accessToken());
  ASSERT_NO_FATAL_FAILURE(cancelOnceRefreshing(cancelled, *held));
  expectError([&] { cancelled.get(); }, CancellationError());

  held->release(tokens({.access = "refreshed"}));
  settle();
  EXPECT_EQ(run(session->accessToken()), "refreshed");
  EXPECT_EQ(tokenRequestCount(), 2u) << "the finished refresh was picked up, not repeated";
}

TEST_F(OAuthSessionTest, ARefreshLeftWithoutCallersEndsWithTheSession) {
  const auto held = holdTheRefresh();
  const auto cancelled = start(session->accessToken());
  ASSERT_NO_FATAL_FAILURE(cancelOnceRefreshing(cancelled, *held));

  session.reset();
  EXPECT_TRUE(runUntil([&] { return held->wasCancelled(); }));
}

TEST_F(OAuthSessionTest, ASignOutDuringARefreshCancelsItAndItsWaitersFindTheSessionStale) {
  const auto held = holdTheRefresh();
  const auto first = start(session->accessToken());
  const auto second = start(session->authorization());
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));
  settle();

  run(session->logout());
  ASSERT_TRUE(runUntil([&] { return first.hasEnded() && second.hasEnded(); }));
  expectError([&] { first.get(); }, ConnectionError::staleSession);
  expectError([&] { second.get(); }, ConnectionError::staleSession);
  EXPECT_TRUE(held->wasCancelled()) << "the refresh request was not cancelled";
  EXPECT_FALSE(run(session->canAuthorize()));
  expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn);
}

TEST_F(OAuthSessionTest, ALateRefreshResultNeverReplacesANewerSignIn) {
  const auto held = holdTheRefresh(FakeHTTPTransport::OnCancel::keepWaiting);
  const auto waiter = start(session->accessToken());
  ASSERT_TRUE(runUntil([&] { return held->hasArrived(); }));

  signIn(tokens({.access = "new-sign-in"}));
  held->release(tokens({.access = "late", .expiresIn = 3600}));
  ASSERT_TRUE(runUntil([&] { return waiter.hasEnded(); }));
  expectError([&] { waiter.get(); }, ConnectionError::staleSession);
  settle();
  EXPECT_EQ(run(session->accessToken()), "new-sign-in");
}

TEST_F(OAuthSessionTest, ARefreshedTokenThatHasAlreadyExpiredIsNotHandedOut) {
  // The refresh finished for a caller that had gone; the next caller comes only after the new
  // token's own expiry.
  const auto held = holdTheRefresh();
  const auto cancelled = start(session->accessToken());
  ASSERT_NO_FATAL_FAILURE(cancelOnceRefreshing(cancelled, *held));
  held->release(tokens({.access = "short", .expiresIn = 60}));
  settle();

  clock.advance(60s);
  expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn);
  EXPECT_TRUE(run(session->canAuthorize())) << "the sign-in is kept";
  transport->answer(tokenURL(), tokens({.access = "again"}));
  EXPECT_EQ(run(session->accessToken()), "again");
}

// Callers on several threads at once, as the service client and the remote signer call it.
TEST(OAuthSessionThreads, ManyCallersOnSeveralThreadsShareOneRefresh) {
  constexpr int callers = 64;
  // Declared before the runtime, so that they outlive every task it runs.
  std::atomic<bool> signedIn = false;
  std::atomic<int> refreshed = 0;
  std::atomic<int> ended = 0;
  ManualClock clock;
  const auto transport = std::make_shared<FakeHTTPTransport>();
  platform::runtime::Runtime runtime({.ioThreads = 4, .blockingThreads = 1});
  const auto session = std::make_shared<OAuthSession>(runtime.io(), transport, clock);
  // Gives up only on a test gone wrong, far later than a busy machine needs.
  const auto wait = [](const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(1ms);
    return done();
  };

  const auto attemptTask = platform::runtime::startTask(runtime.io(), session->beginSignIn());
  transport->answer(tokenURL(), tokens({.expiresIn = 300}));
  platform::runtime::startTask(runtime.io(), [](std::shared_ptr<OAuthSession> session,
                                                platform::runtime::Task<SignInAttempt> attempt,
                                                std::atomic<bool>& done) -> asio::awaitable<void> {
    const auto made = co_await attempt.value();
    auto completing = session->completeSignIn(made.id(), callbackFor(made));
    co_await std::move(completing);
    done = true;
  }(session, attemptTask, signedIn));
  ASSERT_TRUE(wait([&] { return signedIn.load(); }));

  clock.advance(240s);
  transport->answer(tokenURL(), tokens({.access = "refreshed"}));
  for (int i = 0; i < callers; ++i) {
    platform::runtime::startTask(runtime.io(), [](std::shared_ptr<OAuthSession> session, std::atomic<int>& refreshed,
                                                  std::atomic<int>& ended) -> asio::awaitable<void> {
      try {
        const auto token = co_await session->accessToken();
        if (token == "refreshed") ++refreshed;
      } catch (...) {
      }
      ++ended;
    }(session, refreshed, ended));
  }
  ASSERT_TRUE(wait([&] { return ended.load() == callers; }));
  EXPECT_EQ(refreshed.load(), callers);
  EXPECT_EQ(transport->requests(tokenURL()).size(), 2u) << "one exchange and one refresh";
}

// ---- Generations, accounts, invalidation ------------------------------------------------------

TEST_F(OAuthSessionTest, AuthorizationsOfAnEarlierSignInAreNeverCurrent) {
  expectError([&] { run(session->authorization()); }, ConnectionError::notSignedIn, "before any sign-in");

  signIn();
  const auto first = run(session->authorization());
  EXPECT_EQ(first.accessToken, "access-1");
  EXPECT_TRUE(run(session->isCurrent(first)));

  run(session->logout());
  EXPECT_FALSE(run(session->isCurrent(first)));

  signIn(tokens({.access = "access-2"}));
  const auto second = run(session->authorization());
  EXPECT_FALSE(run(session->isCurrent(first))) << "a new sign-in revived an old generation";
  EXPECT_TRUE(run(session->isCurrent(second)));
  EXPECT_NE(first.generation, second.generation);
}

TEST_F(OAuthSessionTest, InvalidateEndsOnlyTheSignInTheAuthorizationBelongsTo) {
  signIn();
  const auto old = run(session->authorization());
  run(session->logout());
  signIn(tokens({.access = "access-2"}));
  const auto current = run(session->authorization());

  // A 401 answered to a request of the earlier sign-in.
  run(session->invalidate(old));
  EXPECT_TRUE(run(session->isCurrent(current)));
  EXPECT_EQ(run(session->accessToken()), "access-2");

  // A 401 answered to a request of this sign-in.
  run(session->invalidate(current));
  EXPECT_FALSE(run(session->isCurrent(current)));
  EXPECT_FALSE(run(session->canAuthorize()));
  expectError([&] { run(session->accessToken()); }, ConnectionError::notSignedIn);
}

TEST_F(OAuthSessionTest, RequestsForAnAccountNeedThatAccountBound) {
  signIn();
  expectError([&] { run(session->authorization(std::string("account-1"))); }, ConnectionError::staleSession,
              "nothing bound");

  const auto authorization = run(session->authorization());
  expectError([&] { run(session->bindAccount("", authorization)); }, ConnectionError::staleSession, "empty");
  run(session->bindAccount("account-1", authorization));

  EXPECT_EQ(run(session->authorization(std::string("account-1"))), authorization);
  expectError([&] { run(session->authorization(std::string("account-2"))); }, ConnectionError::staleSession,
              "another account");
  expectError([&] { run(session->authorization(std::string(" account-1"))); }, ConnectionError::staleSession,
              "not trimmed");

  // A binding from a sign-in that has ended changes nothing.
  run(session->logout());
  signIn(tokens({.access = "access-2"}));
  expectError([&] { run(session->bindAccount("account-3", authorization)); }, ConnectionError::staleSession,
              "stale authorization");
  expectError([&] { run(session->authorization(std::string("account-1"))); }, ConnectionError::staleSession,
              "sign-out forgot the account");
  run(session->bindAccount("account-3", run(session->authorization())));
  EXPECT_EQ(run(session->authorization(std::string("account-3"))).accessToken, "access-2");
}

// ---- Over HTTPS against the stand-in provider ---------------------------------------------------

TEST(OAuthSessionOverHTTPS, SignsInAndRefreshesAgainstTheProvider) {
  testing::StandInService standIn(platform::security::testing::TestKey::ec(platform::security::testing::Curve::p256));
  standIn.setTokenPolicy({.expiresIn = 300});
  ManualClock clock;
  asio::io_context io;
  const auto transport = std::make_shared<testing::StandInTransport>(standIn, 45s);
  const auto session = std::make_shared<OAuthSession>(io.get_executor(), transport, clock);
  // Real exchanges: the limit only ends a hung test, far later than a busy machine needs.
  const auto run = [&io](auto operation) {
    return platform::runtime::testing::runToCompletion(io, std::move(operation), 60s);
  };

  const auto attempt = run(session->beginSignIn());
  // The provider checks the verifier of the exchange against the challenge the browser carried.
  standIn.authorize({.code = "code-1", .codeChallenge = queryItem(attempt.authorizationURL(), "code_challenge")});
  run(session->completeSignIn(attempt.id(), callbackFor(attempt, "code-1")));
  const auto first = run(session->authorization());
  EXPECT_EQ(first.accessToken.rfind("stand-in-access-", 0), 0u) << first.accessToken;

  clock.advance(240s);
  const auto second = run(session->authorization());
  EXPECT_NE(second.accessToken, first.accessToken);
  EXPECT_EQ(second.generation, first.generation) << "a refresh is not a new sign-in";

  const auto sent = standIn.requests(testing::StandInService::tokenPath());
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].formValue("grant_type"), "authorization_code");
  EXPECT_EQ(sent[1].formValue("grant_type"), "refresh_token");

  // A verifier that does not belong to the challenge registered with the code is refused.
  const auto again = run(session->beginSignIn());
  standIn.authorize({.code = "code-2", .codeChallenge = "not-the-challenge-of-this-attempt-at-all-000"});
  expectError([&] { run(session->completeSignIn(again.id(), callbackFor(again, "code-2"))); },
              ConnectionError::requestFailed(400));
}

}  // namespace
}  // namespace corvanta

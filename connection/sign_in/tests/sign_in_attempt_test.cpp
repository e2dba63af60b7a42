#include "connection/sign_in/sign_in_attempt.hpp"

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/url_components.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/security/digest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using Instant = SignInAttempt::Instant;
using platform::runtime::testing::ManualClock;

using TokenBytes = std::array<std::uint8_t, 32>;

// RFC 7636 Appendix B: the verifier's 32 octets, the verifier and its S256 challenge.
constexpr TokenBytes rfcVerifierBytes = {116, 24,  223, 180, 151, 153, 224, 37,  79, 250, 96,
                                         125, 216, 173, 187, 186, 22,  212, 37,  77, 105, 214,
                                         191, 240, 91,  88,  5,   88,  83,  132, 141, 121};
constexpr std::string_view rfcVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr std::string_view rfcChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

constexpr TokenBytes countingBytes = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                      16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
constexpr std::string_view countingToken = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";

// Hands out the given blocks in order and fails once they run out (or at the given draw).
class ScriptedRandom {
public:
  explicit ScriptedRandom(std::vector<TokenBytes> blocks, int failingDraw = -1)
      : blocks_(blocks.begin(), blocks.end()), failingDraw_(failingDraw) {}

  bool operator()(std::span<std::uint8_t> buffer) {
    requestedSizes.push_back(buffer.size());
    const int draw = draws_++;
    // What a failing source leaves in the buffer must never be used.
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0xAA});
    if (draw == failingDraw_ || blocks_.empty() || buffer.size() != 32) return false;
    std::copy(blocks_.front().begin(), blocks_.front().end(), buffer.begin());
    blocks_.pop_front();
    return true;
  }

  std::vector<std::size_t> requestedSizes;

private:
  std::deque<TokenBytes> blocks_;
  int failingDraw_;
  int draws_ = 0;
};

bool isBase64URLToken(const std::string& text) {
  return text.size() == 43 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
         });
}

template <typename Operation>
void expectConnectionError(Operation&& operation, const ConnectionError& expected, const std::string& name) {
  try {
    operation();
    ADD_FAILURE() << name << ": no error, expected " << expected.what();
  } catch (const ConnectionError& error) {
    EXPECT_EQ(error, expected) << name << ": " << error.what() << ", expected " << expected.what();
  }
}

TEST(SignInAttemptHelpers, Base64URLIsUnpaddedWithTheURLAlphabet) {
  const struct {
    platform::Bytes bytes;
    std::string text;
  } rows[] = {
      {{}, ""},
      {{0xFB}, "-w"},
      {{0xFB, 0xFF}, "-_8"},
      {{0xFB, 0xFF, 0xBF}, "-_-_"},
      {{'a', 'b', 'c', 'd'}, "YWJjZA"},
  };
  for (const auto& row : rows) EXPECT_EQ(base64URL(row.bytes), row.text) << row.text;
  EXPECT_EQ(base64URL(rfcVerifierBytes), rfcVerifier);
}

TEST(SignInAttemptHelpers, RandomTokenIs32BytesAs43Characters) {
  ScriptedRandom random({countingBytes});
  EXPECT_EQ(randomToken(std::ref(random)), countingToken);
  EXPECT_EQ(random.requestedSizes, std::vector<std::size_t>{32});

  const auto first = randomToken();
  const auto second = randomToken();
  EXPECT_TRUE(isBase64URLToken(first)) << first;
  EXPECT_TRUE(isBase64URLToken(second)) << second;
  EXPECT_NE(first, second);
}

TEST(SignInAttemptHelpers, RandomTokenRefusesAFailedSource) {
  ScriptedRandom random({countingBytes}, 0);
  expectConnectionError([&] { randomToken(std::ref(random)); }, ConnectionError::invalidResponse, "failed source");
}

TEST(SignInAttemptHelpers, ConstantTimeEqualsComparesBytes) {
  const struct {
    std::string_view a;
    std::string_view b;
    bool equal;
  } rows[] = {
      {"", "", true},
      {"abc", "abc", true},
      {"abc", "", false},
      {"abc", "abcd", false},
      {"abc", "abd", false},
      {"abc", "xbc", false},
      {"abc", "ABC", false},
      {"\xC3\xA9", "\xC3\xA9", true},
      {"\xC3\xA9", "\xC3\xA8", false},
      {std::string_view("a\0b", 3), std::string_view("a\0c", 3), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(constantTimeEquals(row.a, row.b), row.equal) << row.a << " / " << row.b;
    EXPECT_EQ(constantTimeEquals(row.b, row.a), row.equal) << row.b << " / " << row.a;
  }
}

TEST(SignInAttemptHelpers, QueryValueTakesTheOneItemOfThatName) {
  const struct {
    const char* url;
    std::variant<std::optional<std::string>, ConnectionError> result;
  } rows[] = {
      {"http://h/?code=abc", std::optional<std::string>("abc")},
      {"http://h/?other=1&code=a%2Fb+c&x", std::optional<std::string>("a/b+c")},
      {"http://h/?code=", std::optional<std::string>("")},
      {"http://h/?code", std::optional<std::string>()},
      {"http://h/?Code=abc", std::optional<std::string>()},
      {"http://h/?codes=abc", std::optional<std::string>()},
      {"http://h/", std::optional<std::string>()},
      {"http://h/?", std::optional<std::string>()},
      {"http://h/?code=%C3%A9", std::optional<std::string>("\xC3\xA9")},
      {"http://h/?code=abc&code=abc", ConnectionError::invalidCallback},
      {"http://h/?code&code=abc", ConnectionError::invalidCallback},
      {"http://h/?c%6Fde=1&code=2", ConnectionError::invalidCallback},
      {"http://h/?code=%FF", ConnectionError::invalidCallback},
      {"http://h/?code=%C0%AF", ConnectionError::invalidCallback},
      {"http://h/?code=%ED%A0%80", ConnectionError::invalidCallback},
      {"http://h/?code=%E2%82", ConnectionError::invalidCallback},
      // Only the item asked for is checked.
      {"http://h/?other=%FF&code=abc", std::optional<std::string>("abc")},
  };
  for (const auto& row : rows) {
    const auto components = URLComponents::parse(row.url);
    ASSERT_TRUE(components) << row.url;
    if (const auto* expected = std::get_if<ConnectionError>(&row.result)) {
      expectConnectionError([&] { queryValue("code", *components); }, *expected, row.url);
    } else {
      EXPECT_EQ(queryValue("code", *components), std::get<0>(row.result)) << row.url;
    }
  }
}

class SignInAttemptTest : public ::testing::Test {
protected:
  SignInAttempt makeAttempt() {
    ScriptedRandom random({countingBytes, rfcVerifierBytes});
    return SignInAttempt(clock, std::ref(random));
  }

  ManualClock clock{5'000'000'000'000};
};

TEST_F(SignInAttemptTest, StateThenVerifierThenDeadline) {
  ScriptedRandom random({countingBytes, rfcVerifierBytes});
  const Instant created = clock.now();
  const SignInAttempt attempt(clock, std::ref(random));
  EXPECT_EQ(attempt.state(), countingToken);
  EXPECT_EQ(attempt.verifier(), rfcVerifier);
  EXPECT_EQ(attempt.deadline(), created.advancedBy(300s));
  EXPECT_EQ(random.requestedSizes, (std::vector<std::size_t>{32, 32}));
}

TEST_F(SignInAttemptTest, AuthorizationURLTextForText) {
  const auto attempt = makeAttempt();
  const std::string expected = std::string(CorvantaEndpoints::issuer()) +
                               "/protocol/openid-connect/auth"
                               "?client_id=corvanta-desktop"
                               "&redirect_uri=http%3A%2F%2Flocalhost%3A53682%2Fcallback"
                               "&response_type=code"
                               "&scope=openid"
                               "&state=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"
                               "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
                               "&code_challenge_method=S256"
                               "&prompt=select_account";
  EXPECT_EQ(attempt.authorizationURL().buffer(), expected);
}

TEST_F(SignInAttemptTest, ChallengeIsTheRFC7636Vector) {
  const auto attempt = makeAttempt();
  const auto components = URLComponents::parse(attempt.authorizationURL().buffer());
  ASSERT_TRUE(components);
  EXPECT_EQ(queryValue("code_challenge", *components), std::string(rfcChallenge));
}

TEST_F(SignInAttemptTest, FreshAttemptsFromTheSystemSource) {
  const SignInAttempt first(clock);
  const SignInAttempt second(clock);
  EXPECT_TRUE(isBase64URLToken(first.state())) << first.state();
  EXPECT_TRUE(isBase64URLToken(first.verifier())) << first.verifier();
  EXPECT_NE(first.state(), first.verifier());
  EXPECT_NE(first.id(), second.id());
  EXPECT_NE(first.state(), second.state());
  EXPECT_NE(first.verifier(), second.verifier());
  EXPECT_FALSE(first == second);

  const auto components = URLComponents::parse(first.authorizationURL().buffer());
  ASSERT_TRUE(components);
  const std::vector<URLQueryItem> items = {
      {"client_id", "corvanta-desktop"},
      {"redirect_uri", "http://localhost:53682/callback"},
      {"response_type", "code"},
      {"scope", "openid"},
      {"state", first.state()},
      {"code_challenge", base64URL(platform::security::sha256(platform::bytesOf(first.verifier())))},
      {"code_challenge_method", "S256"},
      {"prompt", "select_account"},
  };
  EXPECT_EQ(components->queryItems(), items);
  // The verifier goes only into the code exchange, never to the browser.
  EXPECT_EQ(first.authorizationURL().buffer().find(first.verifier()), std::string_view::npos);
}

TEST_F(SignInAttemptTest, AFailedRandomSourceMakesNoAttempt) {
  for (const int failingDraw : {0, 1}) {
    ScriptedRandom random({countingBytes, rfcVerifierBytes}, failingDraw);
    expectConnectionError([&] { SignInAttempt attempt(clock, std::ref(random)); }, ConnectionError::invalidResponse,
                          "draw " + std::to_string(failingDraw));
  }
}

TEST_F(SignInAttemptTest, CopiesAreEqual) {
  const auto attempt = makeAttempt();
  const SignInAttempt copy = attempt;
  EXPECT_TRUE(copy == attempt);
}

// The redirect of the table with "{state}" and "{iss}" replaced by the attempt's state and the
// issuer (as is, or percent-encoded as providers usually send it).
std::string redirect(std::string text, std::string_view state) {
  const auto replace = [&](std::string_view placeholder, std::string_view value) {
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
      text.replace(at, placeholder.size(), value);
    }
  };
  replace("{state}", state);
  replace("{iss}", platform::foundation::percentEncodedUnreserved(CorvantaEndpoints::issuer()));
  replace("{rawiss}", CorvantaEndpoints::issuer());
  return text;
}

struct CallbackRow {
  const char* name;
  std::string url;
  std::variant<std::string, ConnectionError> result;
};

std::vector<CallbackRow> callbackRows() {
  const std::string longCode(8192, 'c');
  const std::string tooLongCode(8193, 'c');
  const auto& invalid = ConnectionError::invalidCallback;
  const auto& denied = ConnectionError::authorizationDenied;
  return {
      {"correct", "http://localhost:53682/callback?state={state}&iss={iss}&code=C", "C"},
      {"any item order", "http://localhost:53682/callback?code=C&iss={iss}&state={state}", "C"},
      {"other items ignored", "http://localhost:53682/callback?session_state=x%FF&state={state}&iss={iss}&code=C&x",
       "C"},
      {"issuer not escaped", "http://localhost:53682/callback?state={state}&iss={rawiss}&code=C", "C"},
      {"path decoded", "http://localhost:53682/%63allback?state={state}&iss={iss}&code=C", "C"},
      {"plus in code kept", "http://localhost:53682/callback?state={state}&iss={iss}&code=a+b", "a+b"},
      {"escaped plus in code", "http://localhost:53682/callback?state={state}&iss={iss}&code=a%2Bb", "a+b"},
      {"escaped space in code", "http://localhost:53682/callback?state={state}&iss={iss}&code=a%20b", "a b"},
      {"code decoded to UTF-8", "http://localhost:53682/callback?state={state}&iss={iss}&code=%C3%A9", "\xC3\xA9"},
      {"code of 8192 bytes", "http://localhost:53682/callback?state={state}&iss={iss}&code=" + longCode, longCode},

      {"relative reference", "/callback?state={state}&iss={iss}&code=C", invalid},
      {"scheme https", "https://localhost:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"scheme upper case", "HTTP://localhost:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"host 127.0.0.1", "http://127.0.0.1:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"host [::1]", "http://[::1]:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"host upper case", "http://LOCALHOST:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"no port", "http://localhost/callback?state={state}&iss={iss}&code=C", invalid},
      {"empty port", "http://localhost:/callback?state={state}&iss={iss}&code=C", invalid},
      {"other port", "http://localhost:53683/callback?state={state}&iss={iss}&code=C", invalid},
      {"port beyond 16 bits", "http://localhost:119218/callback?state={state}&iss={iss}&code=C", invalid},
      {"trailing slash", "http://localhost:53682/callback/?state={state}&iss={iss}&code=C", invalid},
      {"path upper case", "http://localhost:53682/Callback?state={state}&iss={iss}&code=C", invalid},
      {"no path", "http://localhost:53682?state={state}&iss={iss}&code=C", invalid},
      {"user", "http://user@localhost:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"empty user", "http://@localhost:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"password", "http://:pw@localhost:53682/callback?state={state}&iss={iss}&code=C", invalid},
      {"fragment", "http://localhost:53682/callback?state={state}&iss={iss}&code=C#x", invalid},
      {"empty fragment", "http://localhost:53682/callback?state={state}&iss={iss}&code=C#", invalid},

      {"state missing", "http://localhost:53682/callback?iss={iss}&code=C", invalid},
      {"state without value", "http://localhost:53682/callback?state&iss={iss}&code=C", invalid},
      {"state empty", "http://localhost:53682/callback?state=&iss={iss}&code=C", invalid},
      {"state wrong", "http://localhost:53682/callback?state=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9&iss={iss}&code=C",
       invalid},
      {"state prefix", "http://localhost:53682/callback?state=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh&iss={iss}&code=C",
       invalid},
      {"state name in other case", "http://localhost:53682/callback?State={state}&iss={iss}&code=C", invalid},
      {"state twice, same value", "http://localhost:53682/callback?state={state}&state={state}&iss={iss}&code=C", invalid},
      {"state twice, one wrong", "http://localhost:53682/callback?state={state}&state=x&iss={iss}&code=C", invalid},
      {"state not UTF-8", "http://localhost:53682/callback?state={state}%FF&iss={iss}&code=C", invalid},

      {"iss missing", "http://localhost:53682/callback?state={state}&code=C", invalid},
      {"iss without value", "http://localhost:53682/callback?state={state}&iss&code=C", invalid},
      {"iss with trailing slash", "http://localhost:53682/callback?state={state}&iss={iss}%2F&code=C", invalid},
      {"iss of another provider", "http://localhost:53682/callback?state={state}&iss=https%3A%2F%2Fother.example&code=C",
       invalid},
      {"iss twice", "http://localhost:53682/callback?state={state}&iss={iss}&iss={iss}&code=C", invalid},

      {"access denied", "http://localhost:53682/callback?error=access_denied&state={state}&iss={iss}", denied},
      {"other error with description",
       "http://localhost:53682/callback?error=server_error&error_description=Try+later&state={state}&iss={iss}", denied},
      {"empty error", "http://localhost:53682/callback?error=&state={state}&iss={iss}", denied},
      {"error with a code", "http://localhost:53682/callback?error=access_denied&state={state}&iss={iss}&code=C", invalid},
      {"error with wrong state", "http://localhost:53682/callback?error=access_denied&state=x&iss={iss}", invalid},
      {"error without iss", "http://localhost:53682/callback?error=access_denied&state={state}", invalid},
      {"error twice", "http://localhost:53682/callback?error=a&error=b&state={state}&iss={iss}", invalid},
      {"error not UTF-8", "http://localhost:53682/callback?error=%FF&state={state}&iss={iss}", invalid},

      {"code missing", "http://localhost:53682/callback?state={state}&iss={iss}", invalid},
      {"code without value", "http://localhost:53682/callback?state={state}&iss={iss}&code", invalid},
      {"code empty", "http://localhost:53682/callback?state={state}&iss={iss}&code=", invalid},
      {"code twice", "http://localhost:53682/callback?state={state}&iss={iss}&code=C&code=C", invalid},
      {"code of 8193 bytes", "http://localhost:53682/callback?state={state}&iss={iss}&code=" + tooLongCode, invalid},
      {"code not UTF-8", "http://localhost:53682/callback?state={state}&iss={iss}&code=%FF", invalid},
      {"code overlong UTF-8", "http://localhost:53682/callback?state={state}&iss={iss}&code=%C0%AF", invalid},
      {"code surrogate", "http://localhost:53682/callback?state={state}&iss={iss}&code=%ED%A0%80", invalid},
  };
}

TEST_F(SignInAttemptTest, CallbackChecks) {
  const auto attempt = makeAttempt();
  const Instant now = clock.now().advancedBy(10s);
  for (const auto& row : callbackRows()) {
    const boost::urls::url callback(redirect(row.url, attempt.state()));
    if (const auto* expected = std::get_if<ConnectionError>(&row.result)) {
      expectConnectionError([&] { attempt.authorizationCode(callback, now); }, *expected, row.name);
    } else {
      try {
        EXPECT_EQ(attempt.authorizationCode(callback, now), std::get<std::string>(row.result)) << row.name;
      } catch (const ConnectionError& error) {
        ADD_FAILURE() << row.name << ": " << error.what();
      }
    }
  }
}

TEST_F(SignInAttemptTest, AFailedCheckLeavesTheAttemptUsable) {
  const auto attempt = makeAttempt();
  const auto before = attempt;
  const Instant now = clock.now().advancedBy(1s);
  const boost::urls::url wrong(redirect("http://localhost:53682/callback?state=x&iss={iss}&code=C", attempt.state()));
  const boost::urls::url right(redirect("http://localhost:53682/callback?state={state}&iss={iss}&code=C", attempt.state()));
  expectConnectionError([&] { attempt.authorizationCode(wrong, now); }, ConnectionError::invalidCallback, "wrong state");
  EXPECT_TRUE(attempt == before);
  EXPECT_EQ(attempt.authorizationCode(right, now), "C");
  EXPECT_EQ(attempt.authorizationCode(right, now), "C");
}

TEST_F(SignInAttemptTest, ExpiresAtTheDeadlineBeforeTheURLIsRead) {
  const auto attempt = makeAttempt();
  const boost::urls::url perfect(
      redirect("http://localhost:53682/callback?state={state}&iss={iss}&code=C", attempt.state()));
  const boost::urls::url malformed("https://127.0.0.1/elsewhere#");
  const Instant deadline = attempt.deadline();

  EXPECT_EQ(attempt.authorizationCode(perfect, deadline.advancedBy(-1ns)), "C");
  EXPECT_EQ(attempt.authorizationCode(perfect, clock.now()), "C");
  expectConnectionError([&] { attempt.authorizationCode(perfect, deadline); }, ConnectionError::loginExpired, "at");
  expectConnectionError([&] { attempt.authorizationCode(perfect, deadline.advancedBy(1h)); },
                        ConnectionError::loginExpired, "after");
  expectConnectionError([&] { attempt.authorizationCode(malformed, deadline); }, ConnectionError::loginExpired,
                        "malformed at the deadline");
  expectConnectionError([&] { attempt.authorizationCode(malformed, deadline.advancedBy(-1ns)); },
                        ConnectionError::invalidCallback, "malformed before the deadline");
}

}  // namespace
}  // namespace corvanta

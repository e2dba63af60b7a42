// Gives arbitrary bytes to the OpenID Connect session as the token endpoint's answers. The input
// is one or two answers separated by the first line break: the answer to the code exchange of a
// sign-in and, when that sign-in succeeds, the answer to the refresh made at its refresh point.
// The first byte of each answer picks the status ('0' to '5': 200, 400, 401, 500, 201, 302), the
// rest is the body.
//
// Every run must end in success or in the error the session gives for that answer; anything else
// that escapes, a wrong error, a request where none is due, a crash, a hang or a sanitizer report
// is a fault. Time is a manual clock and the transport answers from the input: nothing waits and
// nothing leaves the process.
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/form_encoding.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/http_result.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace asio = boost::asio;
using corvanta::ConnectionError;
using corvanta::HTTPResult;

constexpr std::array<std::int64_t, 6> statuses{200, 400, 401, 500, 201, 302};

HTTPResult answerOf(std::string_view part) {
  if (part.empty()) return HTTPResult{statuses[0], {}};
  const auto status = statuses[static_cast<std::uint8_t>(part[0] - '0') % statuses.size()];
  return HTTPResult{status, platform::bytesOf(part.substr(1))};
}

// Answers each token request with the next scripted answer and keeps every request. A request
// with nothing scripted is one the session should not have made.
class ScriptTransport final : public corvanta::HTTPTransport {
public:
  std::deque<HTTPResult> answers;
  std::vector<platform::net::Request> requests;

  asio::awaitable<HTTPResult> send(platform::net::Request request) override {
    if (request.method != "POST" || request.url != corvanta::CorvantaEndpoints::tokenURL()) std::abort();
    if (answers.empty()) std::abort();
    requests.push_back(std::move(request));
    HTTPResult result = std::move(answers.front());
    answers.pop_front();
    co_return result;
  }
};

// What an answer that the session took must have said, read here again to know what the session
// has to do with it next.
struct Accepted {
  std::string access;
  std::optional<std::string> refresh;
  std::int64_t expiresIn = 0;

  static Accepted fromJSON(const platform::foundation::JSONObjectReader& reader) {
    return Accepted{reader.required<std::string>("access_token"), reader.optional<std::string>("refresh_token"),
                    reader.required<std::int64_t>("expires_in")};
  }

  static Accepted of(const HTTPResult& answer) {
    if (answer.status != 200) std::abort();
    try {
      const auto accepted = platform::foundation::decodeJSON<Accepted>(platform::ByteView(answer.body));
      if (accepted.expiresIn <= 0) std::abort();
      return accepted;
    } catch (const platform::foundation::DecodingError&) {
      std::abort();
    }
  }

  bool canRefresh() const { return refresh && !refresh->empty(); }

  std::chrono::seconds untilRefresh() const {
    const auto margin = expiresIn >= 25 ? std::min<std::int64_t>(expiresIn / 5, 60) : 5;
    return std::chrono::seconds(std::max<std::int64_t>(expiresIn - margin, 0));
  }
};

platform::Bytes refreshForm(const std::string& refreshToken) {
  return corvanta::FormEncoding::encode({
      {"client_id", std::string(corvanta::CorvantaEndpoints::clientID)},
      {"grant_type", "refresh_token"},
      {"refresh_token", refreshToken},
  });
}

// Fixed bytes: the attempt's state and verifier are the same on every run, so a run replays.
bool fixedRandom(std::span<std::uint8_t> buffer) {
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0x5A});
  return true;
}

class Run {
public:
  Run() : session_(std::make_shared<corvanta::OAuthSession>(io_.get_executor(), transport_, clock_, fixedRandom)) {}

  void operator()(const HTTPResult& exchangeAnswer, const std::optional<HTTPResult>& refreshAnswer) {
    if (!signIn(exchangeAnswer)) return;
    const auto accepted = Accepted::of(exchangeAnswer);

    // Fresh: the token comes without a request.
    if (accepted.untilRefresh() > std::chrono::seconds(0)) {
      if (complete(session_->accessToken()) != accepted.access) std::abort();
      if (transport_->requests.size() != 1) std::abort();
    }
    clock_.advance(accepted.untilRefresh());
    if (!refreshAnswer) return;

    const auto refreshed = refresh(accepted, *refreshAnswer, 2);
    if (!refreshed) return;
    // A provider that does not rotate the refresh token keeps the one just used good.
    Accepted kept = *refreshed;
    if (!kept.refresh) kept.refresh = accepted.refresh;
    clock_.advance(kept.untilRefresh());
    if (refresh(kept, HTTPResult{400, platform::bytesOf(R"({"error":"invalid_grant"})")}, 3)) std::abort();
  }

private:
  // Whether the sign-in succeeded; a failure must be the one the answer calls for.
  bool signIn(const HTTPResult& answer) {
    const auto attempt = complete(session_->beginSignIn());
    const std::string callback =
        "http://localhost:53682/callback?state=" + attempt.state() +
        "&iss=" + platform::foundation::percentEncodedUnreserved(corvanta::CorvantaEndpoints::issuer()) + "&code=c";
    transport_->answers.push_back(answer);
    bool signedIn = true;
    try {
      complete(session_->completeSignIn(attempt.id(), boost::urls::url(boost::urls::parse_uri(callback).value())));
    } catch (const ConnectionError& error) {
      const auto expected =
          answer.status == 200 ? ConnectionError::invalidResponse : ConnectionError::requestFailed(answer.status);
      if (error != expected) std::abort();
      signedIn = false;
    }
    if (transport_->requests.size() != 1) std::abort();
    const auto exchangeForm = corvanta::FormEncoding::encode({
        {"client_id", std::string(corvanta::CorvantaEndpoints::clientID)},
        {"code", "c"},
        {"code_verifier", attempt.verifier()},
        {"grant_type", "authorization_code"},
        {"redirect_uri", std::string(corvanta::CorvantaEndpoints::redirect)},
    });
    if (transport_->requests.back().body != exchangeForm) std::abort();
    if (complete(session_->canAuthorize()) != signedIn) std::abort();
    return signedIn;
  }

  // Asks for a token at the refresh point of the tokens in force (`held`) with `answer` scripted.
  // Gives what the answer said when the refresh succeeded, none when it ended the sign-in.
  std::optional<Accepted> refresh(const Accepted& held, const HTTPResult& answer, std::size_t requestsAfter) {
    transport_->answers.assign({answer});
    std::optional<std::string> token;
    try {
      token = complete(session_->accessToken());
    } catch (const ConnectionError& error) {
      if (error != ConnectionError::notSignedIn) std::abort();
    }

    if (!held.canRefresh()) {
      // Nothing to refresh with: signed out without asking the provider.
      if (token || transport_->requests.size() != requestsAfter - 1) std::abort();
    } else {
      if (transport_->requests.size() != requestsAfter) std::abort();
      if (transport_->requests.back().body != refreshForm(*held.refresh)) std::abort();
    }
    if (complete(session_->canAuthorize()) != token.has_value()) std::abort();
    if (!token) return std::nullopt;

    const auto refreshed = Accepted::of(answer);
    if (*token != refreshed.access) std::abort();
    return refreshed;
  }

  template <typename T>
  T complete(asio::awaitable<T> operation) {
    return platform::runtime::testing::runToCompletion(io_, std::move(operation));
  }

  platform::runtime::testing::ManualClock clock_;
  asio::io_context io_;
  std::shared_ptr<ScriptTransport> transport_ = std::make_shared<ScriptTransport>();
  std::shared_ptr<corvanta::OAuthSession> session_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto lineBreak = input.find('\n');
  std::optional<HTTPResult> refreshAnswer;
  if (lineBreak != std::string_view::npos) refreshAnswer = answerOf(input.substr(lineBreak + 1));
  Run run;
  run(answerOf(input.substr(0, lineBreak)), refreshAnswer);
  return 0;
}

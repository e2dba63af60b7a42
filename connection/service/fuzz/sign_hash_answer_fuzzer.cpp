// Gives arbitrary bytes to the remote signer as the service's sign-hash answer. The first byte
// picks the status ('0' to '8': 200, 401, 429, 400, 403, 500, 503, 302, 201), the rest is the
// body. Every call must end in a signature that verified or in one of the signer's documented
// errors; anything else that escapes, a crash or a sanitizer report is a fault.
#include "connection/service/remote_signature.hpp"
#include "connection/service/remote_signer.hpp"
#include "connection/service/remote_signing_error.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/http_result.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_context.hpp"
#include "sign-core/signing_session.hpp"
#include "sign-core/verification_key.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using corvanta::ConnectionError;
using corvanta::HTTPResult;
using corvanta::RemoteSigner;
using corvanta::RemoteSigningError;

constexpr std::array<std::int64_t, 9> statuses{200, 401, 429, 400, 403, 500, 503, 302, 201};

// Answers the token endpoint with a fresh sign-in and the sign-hash endpoint with the input.
class ScriptTransport final : public corvanta::HTTPTransport {
public:
  HTTPResult signHashAnswer;

  asio::awaitable<HTTPResult> send(platform::net::Request request) override {
    if (request.url == corvanta::CorvantaEndpoints::tokenURL()) {
      return answer(HTTPResult{
          200, platform::bytesOf(R"({"access_token":"a","expires_in":3600,"refresh_token":"r","token_type":"Bearer"})")});
    }
    return answer(signHashAnswer);
  }

private:
  static asio::awaitable<HTTPResult> answer(HTTPResult result) { co_return result; }
};

class Harness {
public:
  Harness()
      : key_(platform::security::testing::TestKey::ec(platform::security::testing::Curve::p256)),
        oauth_(std::make_shared<corvanta::OAuthSession>(io_.get_executor(), transport_)),
        context_(std::string(RemoteSigner::serviceAPIOrigin()), "account", "role", "credential",
                 platform::Bytes(32, 0x5A), corvanta::VerificationKey(key_.publicKey())) {}

  void run(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    transport_->signHashAnswer =
        HTTPResult{statuses[static_cast<std::uint8_t>(data[0] - '0') % statuses.size()], platform::Bytes(data + 1, data + size)};
    if (!complete(oauth_->canAuthorize())) signIn();

    // A signer per input: a lockout or a recorded request must not decide the next input.
    const auto signer = std::make_shared<RemoteSigner>(io_.get_executor(), oauth_, transport_, clock_);
    corvanta::SigningSession session;
    session.activate(context_);
    const auto request =
        session.prepare(corvanta::SigningAlgorithm::ecdsaSHA256, platform::Bytes(32, 0xA5), 60s, clock_.now());
    try {
      const auto signature = complete(signer->sign(request, "123456"));
      if (signature.bytes.empty() || signature.bytes.size() > RemoteSigner::maximumSignatureByteCount) std::abort();
    } catch (const RemoteSigningError& error) {
      if (error.errorCase() == RemoteSigningError::Case::locked &&
          (error.minutes() < 1 || error.minutes() > RemoteSigner::maximumLockoutMinutes)) {
        std::abort();
      }
    } catch (const ConnectionError& error) {
      if (error != ConnectionError::notSignedIn) std::abort();
    }
  }

private:
  template <typename T>
  T complete(asio::awaitable<T> operation) {
    return platform::runtime::testing::runToCompletion(io_, std::move(operation));
  }

  void signIn() {
    const auto attempt = complete(oauth_->beginSignIn());
    const std::string callback =
        "http://localhost:53682/callback?state=" + attempt.state() +
        "&iss=" + platform::foundation::percentEncodedUnreserved(corvanta::CorvantaEndpoints::issuer()) + "&code=c";
    complete(oauth_->completeSignIn(attempt.id(), boost::urls::url(boost::urls::parse_uri(callback).value())));
    const auto authorization = complete(oauth_->authorization());
    complete(oauth_->bindAccount("account", authorization));
  }

  platform::runtime::testing::ManualClock clock_;
  asio::io_context io_;
  platform::security::testing::TestKey key_;
  std::shared_ptr<ScriptTransport> transport_ = std::make_shared<ScriptTransport>();
  std::shared_ptr<corvanta::OAuthSession> oauth_;
  corvanta::SigningContext context_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  harness.run(data, size);
  return 0;
}

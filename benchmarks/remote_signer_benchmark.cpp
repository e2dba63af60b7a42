// What one sign-hash round trip through RemoteSigner costs against the stand-in service on
// loopback, and how much of it is the signer's own work.
//
//   SignHashRoundTrip   the whole call: checks, the session's token, the request, the HTTPS
//                       exchange, the answer, the verification.
//   ExchangeAlone       the same request bytes through the same transport, without the signer:
//                       a new TLS connection, the stand-in signing, the answer.
//   SignerAlone         the whole call over a transport that answers at once with a recorded
//                       answer of the stand-in: the signer's own time, measured directly.
//   VerificationAlone   the one piece of the signer's own time that dominates it.
//
// The signer's own share of a round trip is SignerAlone, or SignHashRoundTrip - ExchangeAlone.
#include "connection/service/remote_signer.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
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
#include "sign-core/signing_request.hpp"
#include "sign-core/signing_session.hpp"
#include "sign-core/verification_key.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using corvanta::HTTPResult;
using corvanta::RemoteSigner;
using corvanta::SigningAlgorithm;
using corvanta::testing::StandInService;
using corvanta::testing::StandInTransport;
using platform::Bytes;
using platform::runtime::testing::ManualClock;
using platform::runtime::testing::runToCompletion;
using platform::security::testing::TestKey;

constexpr std::string_view code = "314159";

// Answers every request with the same recorded answer, at once.
class ReplayTransport final : public corvanta::HTTPTransport {
public:
  explicit ReplayTransport(HTTPResult answer) : answer_(std::move(answer)) {}

  asio::awaitable<HTTPResult> send(platform::net::Request) override { return replay(answer_); }

private:
  static asio::awaitable<HTTPResult> replay(HTTPResult answer) { co_return answer; }

  HTTPResult answer_;
};

// A signed-in road to the stand-in for one signing key. The signer's clock is a manual one that
// each iteration moves past the request's deadline, so that the signer's record of sent requests
// never fills up; the session keeps the machine's clock and its token stays fresh.
class Road {
public:
  Road(TestKey key, SigningAlgorithm algorithm)
      : algorithm_(algorithm),
        service_(std::move(key)),
        transport_(std::make_shared<StandInTransport>(service_)),
        oauth_(std::make_shared<corvanta::OAuthSession>(io_.get_executor(), transport_)),
        signer_(std::make_shared<RemoteSigner>(io_.get_executor(), oauth_, transport_, clock_)),
        context_(std::string(RemoteSigner::serviceAPIOrigin()), service_.account().sub,
                 service_.account().roles.at(0).roleUuid, "credential-1", Bytes(32, 0x5A),
                 corvanta::VerificationKey::fromCertificateDER(service_.certificateDER())),
        digest_(static_cast<std::size_t>(algorithm.digestByteCount()), 0xA5) {
    signIn();
    // One real round trip gives the request, the answer and the signature that the other
    // measurements replay: every request signs the same digest.
    acceptCode();
    recordedSignature_ = run(signer_->sign(request(), std::string(code))).bytes;
    recordedRequest_ = transport_->requests().back();
    acceptCode();
    recordedAnswer_ = run(transport_->send(recordedRequest_));
    replayingSigner_ = std::make_shared<RemoteSigner>(io_.get_executor(), oauth_,
                                                      std::make_shared<ReplayTransport>(recordedAnswer_), clock_);
  }

  corvanta::SigningRequest request() {
    clock_.advance(61s);
    corvanta::SigningSession session;
    session.activate(context_);
    return session.prepare(algorithm_, digest_, 60s, clock_.now());
  }

  template <typename T>
  T run(asio::awaitable<T> operation) {
    return runToCompletion(io_, std::move(operation));
  }

  void acceptCode() { service_.acceptOneTimeCode(std::string(code)); }

  const std::shared_ptr<RemoteSigner>& signer() const { return signer_; }
  const std::shared_ptr<RemoteSigner>& replayingSigner() const { return replayingSigner_; }
  const std::shared_ptr<StandInTransport>& transport() const { return transport_; }
  const platform::net::Request& recordedRequest() const { return recordedRequest_; }
  const corvanta::SigningContext& context() const { return context_; }
  const Bytes& digest() const { return digest_; }
  SigningAlgorithm algorithm() const { return algorithm_; }
  const Bytes& recordedSignature() const { return recordedSignature_; }

private:
  void signIn() {
    const auto attempt = run(oauth_->beginSignIn());
    service_.authorize({"code-1", StandInService::codeChallenge(attempt.verifier())});
    const std::string callback =
        "http://localhost:53682/callback?state=" + attempt.state() +
        "&iss=" + platform::foundation::percentEncodedUnreserved(corvanta::CorvantaEndpoints::issuer()) + "&code=code-1";
    run(oauth_->completeSignIn(attempt.id(), boost::urls::url(boost::urls::parse_uri(callback).value())));
    const auto authorization = run(oauth_->authorization());
    run(oauth_->bindAccount(service_.account().sub, authorization));
  }

  SigningAlgorithm algorithm_;
  ManualClock clock_;
  asio::io_context io_;
  StandInService service_;
  std::shared_ptr<StandInTransport> transport_;
  std::shared_ptr<corvanta::OAuthSession> oauth_;
  std::shared_ptr<RemoteSigner> signer_;
  corvanta::SigningContext context_;
  Bytes digest_;
  platform::net::Request recordedRequest_;
  HTTPResult recordedAnswer_;
  Bytes recordedSignature_;
  std::shared_ptr<RemoteSigner> replayingSigner_;
};

Road& rsa2048() {
  static Road road(TestKey::rsa(2048), SigningAlgorithm::rsaPKCS1SHA256);
  return road;
}

Road& p256() {
  static Road road(TestKey::ec(platform::security::testing::Curve::p256), SigningAlgorithm::ecdsaSHA256);
  return road;
}

template <typename Run>
void guarded(benchmark::State& state, Run&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
}

void signHashRoundTrip(benchmark::State& state, Road& (*road)()) {
  auto& on = road();
  for (auto _ : state) {
    state.PauseTiming();
    auto request = on.request();
    on.acceptCode();
    state.ResumeTiming();
    guarded(state, [&] { benchmark::DoNotOptimize(on.run(on.signer()->sign(std::move(request), std::string(code)))); });
  }
}

void exchangeAlone(benchmark::State& state, Road& (*road)()) {
  auto& on = road();
  for (auto _ : state) {
    state.PauseTiming();
    on.acceptCode();
    auto request = on.recordedRequest();
    state.ResumeTiming();
    guarded(state, [&] { benchmark::DoNotOptimize(on.run(on.transport()->send(std::move(request)))); });
  }
}

void signerAlone(benchmark::State& state, Road& (*road)()) {
  auto& on = road();
  for (auto _ : state) {
    state.PauseTiming();
    auto request = on.request();
    state.ResumeTiming();
    guarded(state,
            [&] { benchmark::DoNotOptimize(on.run(on.replayingSigner()->sign(std::move(request), std::string(code)))); });
  }
}

void verificationAlone(benchmark::State& state, Road& (*road)()) {
  auto& on = road();
  const auto& key = on.context().verificationKey();
  for (auto _ : state) {
    key.verify(on.recordedSignature(), on.digest(), on.algorithm());
  }
}

BENCHMARK_CAPTURE(signHashRoundTrip, RSA2048, rsa2048)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(exchangeAlone, RSA2048, rsa2048)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signerAlone, RSA2048, rsa2048)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(verificationAlone, RSA2048, rsa2048)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signHashRoundTrip, P256, p256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(exchangeAlone, P256, p256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signerAlone, P256, p256)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(verificationAlone, P256, p256)->Unit(benchmark::kMicrosecond);

}  // namespace

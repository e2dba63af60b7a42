#pragma once

#include "platform/codesign/code_signing.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/xpc/context.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_sign_request.hpp"
#include "token-support/token_signing_transport.hpp"

#include <chrono>
#include <cstddef>
#include <string>

namespace corvanta {

// The extension's road to the app, whose listener has no name: it asks the router's directory
// service for the endpoint the app registered, connects to that endpoint, sends the request with
// the one-time code and waits for the answer within the request's deadline. Each call makes and
// invalidates its own two connections; nothing is kept between calls.
//
// The context, the code signing and the clocks are borrowed and must outlive the connection.
// `ticks` measures what is left of a request's deadline, `clock` bounds the waits; both are the
// machine's continuous clock outside tests.
class TokenSessionConnection final : public TokenSigningTransport {
public:
  // The longest the router gets to name the endpoint, within the request's deadline.
  static constexpr std::chrono::seconds endpointLookupLimit{5};
  static constexpr std::size_t maximumSignatureByteCount = 8192;

  TokenSessionConnection(platform::xpc::Context& context, const platform::codesign::CodeSigning& codeSigning,
                         const TickSource& ticks = TickSource::system(),
                         const platform::runtime::ContinuousClock& clock = platform::runtime::ContinuousClock::system());

  // Blocks for at most the smaller of `timeout` and what is left of the request's deadline, plus
  // the endpoint lookup, which the deadline bounds too. Throws, in this order:
  // - the request's validation error, unchanged;
  // - TokenFailure::expired for a timeout of zero or less, before any connection is made;
  // - TokenFailure::signingSetupRequired when this process's own team identifier is unusable or the
  //   verifier takes no requirement text;
  // - TokenFailure::expired or invalidInput from the deadline, checked before each wait;
  // - TokenFailure::endpointUnavailable when the router is unreachable, does not answer in time or
  //   has no endpoint registered;
  // - TokenFailure::ownerUnavailable when the app's connection goes away before its reply, and
  //   ownerReplyUnavailable when the call itself fails;
  // - the failure the reply status stands for; uncertainOutcome for status 0 without a signature
  //   of 1 to 8192 bytes, and when no reply came in time.
  platform::Bytes sign(const TokenSignRequest& request, const std::string& code,
                       std::chrono::nanoseconds timeout) override;

private:
  platform::xpc::Context* context_;
  const platform::codesign::CodeSigning* codeSigning_;
  const TickSource* ticks_;
  const platform::runtime::ContinuousClock* clock_;
};

}  // namespace corvanta

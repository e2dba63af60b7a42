#pragma once

#include "connection/service/remote_signature.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/actor.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "sign-core/signing_request.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/url/url.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace corvanta {

// Has the service compute one signature: posts the digest and the user's one-time code to the
// sign-hash endpoint with the signed-in user's access token, and hands back the signature only
// after the certificate's key has verified it.
//
// It is the last guard of "one code, one signature": a request identifier goes on the wire at
// most once (it is recorded before it is sent and refused until its deadline has passed), one
// call runs at a time, nothing is ever retried, and a code lockout that the service announces
// (HTTP 429) is honoured locally for that account until it ends.
//
// An actor: create it with std::make_shared and call sign() from any coroutine; it runs on the
// signer's strand, which also carries its network exchange.
class RemoteSigner final : public platform::runtime::Actor, public std::enable_shared_from_this<RemoteSigner> {
public:
  using Clock = platform::runtime::ContinuousClock;
  using Instant = Clock::Instant;

  // The time-out of the transport the signer makes for itself.
  static constexpr std::chrono::seconds defaultTransportTimeout{75};
  static constexpr std::string_view signHashPath = "/publicapi/v1/signing/sign-hash";
  static constexpr std::string_view clientVersion = "0.0.12-macos-development";
  static constexpr std::size_t maximumSignatureByteCount = 8192;
  // A new request is refused while this many sent requests have not reached their deadline.
  static constexpr std::size_t maximumConsumedCount = 256;
  // How long a 429 locks an account when the service names no usable number of minutes.
  static constexpr std::int64_t defaultLockoutMinutes = 15;
  // One year: the longest lockout the service can name.
  static constexpr std::int64_t maximumLockoutMinutes = 525'600;

  // The service API origin of this build: "https://", the host and an optional port, nothing
  // after. A request whose context names any other text is refused ("HTTPS://h" and "https://h/"
  // differ from "https://h"), so whoever builds signing contexts must take it from here.
  static std::string_view serviceAPIOrigin();
  // The origin followed by signHashPath.
  static const boost::urls::url& signHashURL();

  // The clock must outlive the signer. The session and the transport are shared with whoever
  // else holds them.
  RemoteSigner(const boost::asio::any_io_executor& executor, std::shared_ptr<OAuthSession> oauth,
               std::shared_ptr<HTTPTransport> transport, const Clock& clock = Clock::system());
  // Over a new EphemeralHTTPTransport of 75 seconds.
  RemoteSigner(const boost::asio::any_io_executor& executor, std::shared_ptr<OAuthSession> oauth);

  // Has the request's digest signed under the code. Refused before anything is sent, in this
  // order, with RemoteSigningError unless said otherwise:
  //   invalidCode           the code is not exactly six ASCII digits;
  //   operationInProgress   another call has passed these checks and not yet ended;
  //   alreadySubmitted      this request identifier was sent before and its deadline is ahead;
  //   invalidRequest        the deadline has come, the context's origin is not serviceAPIOrigin(),
  //                         256 sent requests are still ahead of their deadlines;
  //   locked(minutes)       the account is locked out (the minutes still to wait, rounded up);
  //   SigningError          invalidDigestLength, from the algorithm's digest check;
  //   invalidRequest        the context's key cannot verify the algorithm;
  //   the session's errors  no access token for the context's account (ConnectionError);
  //   CancellationError     the caller was cancelled while the token was obtained;
  //   invalidRequest        the deadline came while the token was obtained.
  // From then on the request counts as sent, whatever follows, and is never sent again:
  //   outcomeUnknown        the exchange failed in any way (network, time-out, cancellation, a body
  //                         over 1 MiB), the service failed (5xx), or its signature is missing,
  //                         not strict Base64, or not 1 to 8192 bytes;
  //   CancellationError     the caller was cancelled while the exchange ran; the answer is dropped;
  //   ConnectionError::staleSession  the sign-in changed, or the deadline came, while the exchange
  //                         ran; the answer is dropped, even a signature;
  //   ConnectionError::notSignedIn   401: the sign-in is ended;
  //   locked(minutes)       429: the account is locked for the service's "retry_after_minutes"
  //                         (1 to 525600), else 15 minutes;
  //   incorrectCode         the service named "totp_code_invalid" among its errors;
  //   rejected              any other status but 200, or a 200 without success;
  //   invalidSignature      the signature does not verify with the context's key.
  boost::asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string totp);

private:
  static boost::asio::awaitable<RemoteSignature> signOnStrand(std::shared_ptr<RemoteSigner> self,
                                                              SigningRequest request, std::string totp);

  // The checks made before anything is awaited; they change nothing but drop expired entries.
  void admit(const SigningRequest& request, const std::string& totp);

  std::shared_ptr<OAuthSession> oauth_;
  std::shared_ptr<HTTPTransport> transport_;
  const Clock* clock_;

  bool inFlight_ = false;
  // Requests released for sending, each with its deadline.
  std::map<platform::foundation::UUID, Instant> consumed_;
  // The end of the service's code lockout, per account.
  std::map<std::string, Instant> lockouts_;
};

}  // namespace corvanta

#include "connection/service/remote_signer.hpp"

#include "connection/service/remote_signing_error.hpp"
#include "connection/sign_in/session_authorization.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/ephemeral_http_transport.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/cancellation.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <optional>
#include <utility>

#ifndef CORVANTA_API_ORIGIN
#error "CORVANTA_API_ORIGIN must be defined by the build"
#endif

namespace corvanta {
namespace {

namespace json = boost::json;
using std::chrono::seconds;

constexpr std::size_t totpDigitCount = 6;
constexpr seconds shortestRequestTimeout{1};
constexpr seconds longestRequestTimeout{75};

bool isSixASCIIDigits(std::string_view code) {
  return code.size() == totpDigitCount && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The minutes the user is told to wait: whole seconds left, rounded up to minutes, never 0.
std::int64_t minutesLeft(RemoteSigner::Instant end, RemoteSigner::Instant now) {
  const auto left = std::chrono::floor<seconds>(end.durationSince(now)).count();
  return left < 1 ? 1 : (left + 59) / 60;
}

platform::net::Request signHashRequest(const SigningRequest& request, const std::string& totp,
                                       const SessionAuthorization& authorization, RemoteSigner::Instant now) {
  platform::foundation::JSONObjectWriter caller;
  for (const auto& [key, value] : request.attribution().callerFields()) caller.setString(key, value);
  platform::foundation::JSONObjectWriter members;
  members.setString("usage", request.usage())
      .setBytes("hash_base64", request.digest())
      .setString("totp_code", totp)
      .setString("client_version", RemoteSigner::clientVersion);
  // The writer has no nested objects; serialising its objects together keeps its escapes.
  json::object body = members.object();
  body.emplace("caller", caller.object());

  platform::net::Request http;
  http.method = "POST";
  http.url = RemoteSigner::signHashURL();
  http.headers = {{"Authorization", "Bearer " + authorization.accessToken},
                  {"x-role-uuid", request.context().roleID()},
                  {"Content-Type", "application/json"},
                  {"Accept", "application/json"}};
  http.body = platform::bytesOf(json::serialize(body));
  const auto remaining = std::chrono::floor<seconds>(request.deadline().durationSince(now));
  http.timeout = std::clamp<seconds>(remaining, shortestRequestTimeout, longestRequestTimeout);
  return http;
}

// What the service's answer says, read as loosely typed JSON: each member counts only in the forms
// listed, anything else is as if it were absent.
struct SignHashAnswer {
  bool hasObject = false;
  bool succeeded = false;
  bool codeInvalid = false;
  std::int64_t lockoutMinutes = RemoteSigner::defaultLockoutMinutes;
  std::optional<platform::Bytes> signature;
  std::optional<bool> billed;
};

bool isNumberOne(const json::value& value) {
  return (value.is_int64() && value.get_int64() == 1) || (value.is_bool() && value.get_bool());
}

std::optional<bool> flag(const json::value& value) {
  if (value.is_bool()) return value.get_bool();
  if (value.is_int64() && value.get_int64() == 1) return true;
  if (value.is_int64() && value.get_int64() == 0) return false;
  return std::nullopt;
}

bool namesInvalidCode(const json::value& errors) {
  if (!errors.is_array()) return false;
  bool named = false;
  for (const auto& error : errors.get_array()) {
    if (!error.is_string()) return false;
    named = named || error.get_string() == "totp_code_invalid";
  }
  return named;
}

SignHashAnswer readAnswer(platform::ByteView body) {
  SignHashAnswer answer;
  std::optional<json::value> document;
  try {
    // The system's strict reader: a number written 1.0 or 1e0 is the integer 1, and a document
    // with a key twice, which readers disagree on, is no document.
    document = platform::foundation::parseJSON(body);
  } catch (const platform::foundation::DecodingError&) {
    return answer;
  }
  if (!document->is_object()) return answer;
  const auto& top = document->get_object();
  answer.hasObject = true;
  if (const auto* success = top.if_contains("success")) answer.succeeded = isNumberOne(*success);
  if (const auto* errors = top.if_contains("error")) answer.codeInvalid = namesInvalidCode(*errors);

  const auto* dataMember = top.if_contains("data");
  if (dataMember == nullptr || !dataMember->is_object()) return answer;
  const auto& data = dataMember->get_object();
  if (const auto* minutes = data.if_contains("retry_after_minutes");
      minutes != nullptr && minutes->is_int64() && minutes->get_int64() >= 1 &&
      minutes->get_int64() <= RemoteSigner::maximumLockoutMinutes) {
    answer.lockoutMinutes = minutes->get_int64();
  }
  if (const auto* encoded = data.if_contains("signature_base64"); encoded != nullptr && encoded->is_string()) {
    auto decoded = platform::foundation::base64Decoded(encoded->get_string());
    if (decoded && !decoded->empty() && decoded->size() <= RemoteSigner::maximumSignatureByteCount) {
      answer.signature = std::move(decoded);
    }
  }
  if (const auto* billed = data.if_contains("billed")) answer.billed = flag(*billed);
  return answer;
}

boost::urls::url parsedURL(std::string_view literal) {
  return boost::urls::url(boost::urls::parse_absolute_uri(literal).value());
}

// Clears the in-flight mark on every way out of a call that set it, errors included.
class InFlight {
public:
  explicit InFlight(bool& mark) : mark_(mark) { mark_ = true; }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
  ~InFlight() { mark_ = false; }

private:
  bool& mark_;
};

}  // namespace

std::string_view RemoteSigner::serviceAPIOrigin() { return CORVANTA_API_ORIGIN; }

const boost::urls::url& RemoteSigner::signHashURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_API_ORIGIN "/publicapi/v1/signing/sign-hash");
  return url;
}

RemoteSigner::RemoteSigner(const boost::asio::any_io_executor& executor, std::shared_ptr<OAuthSession> oauth,
                           std::shared_ptr<HTTPTransport> transport, const Clock& clock)
    : Actor(executor), oauth_(std::move(oauth)), transport_(std::move(transport)), clock_(&clock) {}

RemoteSigner::RemoteSigner(const boost::asio::any_io_executor& executor, std::shared_ptr<OAuthSession> oauth)
    : RemoteSigner(executor, std::move(oauth), std::make_shared<EphemeralHTTPTransport>(defaultTransportTimeout)) {}

boost::asio::awaitable<RemoteSignature> RemoteSigner::sign(SigningRequest request, std::string totp) {
  return onStrand(signOnStrand(shared_from_this(), std::move(request), std::move(totp)));
}

void RemoteSigner::admit(const SigningRequest& request, const std::string& totp) {
  if (!isSixASCIIDigits(totp)) throw RemoteSigningError::invalidCode;
  if (inFlight_) throw RemoteSigningError::operationInProgress;

  const auto now = clock_->now();
  std::erase_if(consumed_, [now](const auto& entry) { return entry.second <= now; });
  std::erase_if(lockouts_, [now](const auto& entry) { return entry.second <= now; });

  if (consumed_.contains(request.id())) throw RemoteSigningError::alreadySubmitted;
  if (request.deadline() <= now) throw RemoteSigningError::invalidRequest;
  const auto& context = request.context();
  if (context.backendOrigin() != serviceAPIOrigin() || consumed_.size() >= maximumConsumedCount) {
    throw RemoteSigningError::invalidRequest;
  }
  if (const auto lockout = lockouts_.find(context.accountID()); lockout != lockouts_.end()) {
    throw RemoteSigningError::locked(minutesLeft(lockout->second, now));
  }
  request.algorithm().validate(request.digest());
  if (!context.verificationKey().supports(request.algorithm())) throw RemoteSigningError::invalidRequest;
}

boost::asio::awaitable<RemoteSignature> RemoteSigner::signOnStrand(std::shared_ptr<RemoteSigner> self,
                                                                   SigningRequest request, std::string totp) {
  // Nothing before the first suspension below lets another call in: the checks and the in-flight
  // mark are one step.
  self->admit(request, totp);
  const InFlight inFlight(self->inFlight_);

  auto authorizing = self->oauth_->authorization(request.context().accountID());
  const SessionAuthorization authorization = co_await std::move(authorizing);
  co_await platform::runtime::checkCancellation();
  if (request.deadline() <= self->clock_->now()) throw RemoteSigningError::invalidRequest;

  // Recorded before it is sent: from here the service may sign and bill, so this request is never
  // sent again, whatever happens next.
  self->consumed_.insert_or_assign(request.id(), request.deadline());
  auto exchange = signHashRequest(request, totp, authorization, self->clock_->now());

  HTTPResult result;
  try {
    auto sending = self->transport_->send(std::move(exchange));
    result = co_await std::move(sending);
  } catch (...) {
    // However the exchange failed, the service may have signed; nothing tells us, and nothing is
    // retried.
    throw RemoteSigningError::outcomeUnknown;
  }
  co_await platform::runtime::checkCancellation();

  auto checking = self->oauth_->isCurrent(authorization);
  const bool current = co_await std::move(checking);
  if (!current || request.deadline() <= self->clock_->now()) throw ConnectionError::staleSession;

  auto answer = readAnswer(result.body);
  if (result.status == 401) {
    auto invalidating = self->oauth_->invalidate(authorization);
    co_await std::move(invalidating);
    throw ConnectionError::notSignedIn;
  }
  if (result.status == 429) {
    const auto end = self->clock_->now().advancedBy(seconds(answer.lockoutMinutes * 60));
    self->lockouts_.insert_or_assign(request.context().accountID(), end);
    throw RemoteSigningError::locked(answer.lockoutMinutes);
  }
  if (answer.codeInvalid) throw RemoteSigningError::incorrectCode;
  if (result.status > 499) throw RemoteSigningError::outcomeUnknown;
  if (result.status != 200 || !answer.hasObject || !answer.succeeded) throw RemoteSigningError::rejected;
  if (!answer.signature) throw RemoteSigningError::outcomeUnknown;
  try {
    request.context().verificationKey().verify(*answer.signature, request.digest(), request.algorithm());
  } catch (...) {
    throw RemoteSigningError::invalidSignature;
  }
  co_return RemoteSignature{std::move(*answer.signature), answer.billed};
}

}  // namespace corvanta

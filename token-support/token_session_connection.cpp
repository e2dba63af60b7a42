#include "token-support/token_session_connection.hpp"

#include "platform/xpc/connection.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_owner_reply_status.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"
#include "token-support/token_session_reply_box.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

namespace corvanta {

namespace {

using platform::runtime::ContinuousClock;
using platform::xpc::Connection;
using platform::xpc::Endpoint;
using platform::xpc::Values;

// Invalidates the connection however the exchange leaves its scope, so that neither end keeps a
// connection of a call that is over. A connection that was never resumed runs no handler.
class InvalidatedOnExit {
public:
  explicit InvalidatedOnExit(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
  ~InvalidatedOnExit() { connection_->invalidate(); }
  InvalidatedOnExit(const InvalidatedOnExit&) = delete;
  InvalidatedOnExit& operator=(const InvalidatedOnExit&) = delete;

  Connection* operator->() const { return connection_.get(); }

private:
  std::shared_ptr<Connection> connection_;
};

ContinuousClock::Duration durationOf(double seconds) {
  return std::chrono::duration_cast<ContinuousClock::Duration>(std::chrono::duration<double>(seconds));
}

std::optional<Endpoint> endpointIn(const Values& reply) {
  if (reply.size() != 1) return std::nullopt;
  if (const auto* endpoint = std::get_if<Endpoint>(&reply[0])) return *endpoint;
  return std::nullopt;
}

ReplyBox::Result resultOf(const Values& reply) {
  const auto* status = reply.size() == 2 ? std::get_if<std::int64_t>(&reply[1]) : nullptr;
  if (!status) return TokenFailure::uncertainOutcome;
  const auto* signature = std::get_if<platform::Bytes>(&reply[0]);
  if (*status == TokenOwnerReplyStatus::success.rawValue() && signature && !signature->empty() &&
      signature->size() <= TokenSessionConnection::maximumSignatureByteCount) {
    return *signature;
  }
  return TokenOwnerReplyStatus::failure(*status);
}

}  // namespace

TokenSessionConnection::TokenSessionConnection(platform::xpc::Context& context,
                                               const platform::codesign::CodeSigning& codeSigning,
                                               const TickSource& ticks, const ContinuousClock& clock)
    : context_(&context), codeSigning_(&codeSigning), ticks_(&ticks), clock_(&clock) {}

platform::Bytes TokenSessionConnection::sign(const TokenSignRequest& request, const std::string& code,
                                             std::chrono::nanoseconds timeout) {
  request.validatedAlgorithm();
  if (timeout <= std::chrono::nanoseconds::zero()) throw TokenFailure::expired;
  const auto team = TokenPeerIdentity::currentTeamID(*codeSigning_);

  const InvalidatedOnExit directory(Connection::toService(*context_, TokenPeerIdentity::directoryServiceName(team)));
  if (!directory->setCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::routerID))) {
    throw TokenFailure::signingSetupRequired;
  }
  directory->setRemoteInterface(TokenEndpointDirectoryProtocol::interface());
  const EndpointReplyBox endpointReply;
  directory->setInvalidationHandler([endpointReply] { endpointReply.finish(std::nullopt); });
  directory->setInterruptionHandler([endpointReply] { endpointReply.finish(std::nullopt); });
  directory->resume();
  directory->send(
      std::string(TokenEndpointDirectoryProtocol::ownerEndpointSelector), {},
      [endpointReply](Values reply) { endpointReply.finish(endpointIn(reply)); },
      [endpointReply](platform::xpc::Error) { endpointReply.finish(std::nullopt); });

  const double lookupLeft = TokenClock::remaining(request.deadlineTicks, *ticks_);
  const auto endpoint =
      endpointReply.wait(std::min<ContinuousClock::Duration>(durationOf(lookupLeft), endpointLookupLimit), *clock_);
  if (!endpoint) throw TokenFailure::endpointUnavailable;

  const InvalidatedOnExit owner(Connection::toEndpoint(*context_, *endpoint));
  if (!owner->setCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::ownerID))) {
    throw TokenFailure::signingSetupRequired;
  }
  owner->setRemoteInterface(TokenSessionOwnerProtocol::interface());
  const ReplyBox signReply;
  owner->setInterruptionHandler([signReply] { signReply.finish(TokenFailure::ownerUnavailable); });
  owner->setInvalidationHandler([signReply] { signReply.finish(TokenFailure::ownerUnavailable); });
  owner->resume();
  owner->send(
      std::string(TokenSessionOwnerProtocol::signSelector), {request.encodedJSON(), code},
      [signReply](Values reply) { signReply.finish(resultOf(reply)); },
      [signReply](platform::xpc::Error) { signReply.finish(TokenFailure::ownerReplyUnavailable); });

  const double replyLeft = TokenClock::remaining(request.deadlineTicks, *ticks_);
  return signReply.wait(std::min<ContinuousClock::Duration>(timeout, durationOf(replyLeft)), *clock_);
}

}  // namespace corvanta

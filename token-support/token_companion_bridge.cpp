#include "token-support/token_companion_bridge.hpp"

#include "platform/runtime/once_box.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_owner_export.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace corvanta {

namespace xpc = platform::xpc;
using platform::foundation::UUID;

TokenCompanionBridge::TokenCompanionBridge(std::shared_ptr<TokenSigningOwner> owner, xpc::Context& context,
                                           std::shared_ptr<const platform::codesign::CodeSigning> codeSigning,
                                           Options options)
    : owner_(std::move(owner)), context_(context), codeSigning_(std::move(codeSigning)), options_(options) {
  if (!owner_ || !codeSigning_ || options_.clock == nullptr) {
    throw std::invalid_argument("a companion bridge needs an owner, the code signing and a clock");
  }
}

TokenCompanionBridge::~TokenCompanionBridge() {
  const std::lock_guard lifecycle(lifecycle_);
  stopHoldingLifecycle();
}

void TokenCompanionBridge::start() {
  const auto self = weak_from_this();
  if (self.expired()) throw std::logic_error("a companion bridge is started only as a shared object");

  const auto teamID = TokenPeerIdentity::currentTeamID(*codeSigning_);
  const auto extensionRequirement = TokenPeerIdentity::requirement(teamID, TokenPeerIdentity::driverID);
  const auto routerRequirement = TokenPeerIdentity::requirement(teamID, TokenPeerIdentity::routerID);

  std::shared_ptr<xpc::Listener> listener;
  try {
    listener = xpc::Listener::anonymous(context_);
  } catch (const xpc::ListenerError&) {
    throw TokenFailure::unavailable;
  }
  if (!listener->setConnectionCodeSigningRequirement(extensionRequirement)) {
    listener->invalidate();
    throw TokenFailure::signingSetupRequired;
  }
  listener->setDelegate(self);

  auto router = xpc::Connection::toService(context_, TokenPeerIdentity::registrationServiceName(teamID));
  if (!router->setCodeSigningRequirement(routerRequirement)) {
    listener->invalidate();
    router->invalidate();
    throw TokenFailure::signingSetupRequired;
  }
  router->setRemoteInterface(TokenOwnerRegistrationProtocol::interface());

  // Losing the router ends a registration still waiting and stops the bridge: the extension can
  // no longer find it, and the app publishes again with a new one.
  const auto registered = platform::runtime::OnceBox<bool>::make();
  const auto lost = [registered, self] {
    registered->put(false);
    if (const auto bridge = self.lock()) {
      const std::lock_guard lifecycle(bridge->lifecycle_);
      bridge->stopHoldingLifecycle();
    }
  };
  router->setInterruptionHandler(lost);
  router->setInvalidationHandler(lost);

  {
    const std::lock_guard lifecycle(lifecycle_);
    bool taken = stopped_;
    if (!taken) {
      const std::lock_guard lock(lock_);
      taken = listener_ != nullptr;
      if (!taken) {
        listener_ = listener;
        router_ = router;
      }
    }
    if (taken) {
      router->setInterruptionHandler({});
      router->setInvalidationHandler({});
      router->invalidate();
      listener->invalidate();
      throw TokenFailure::unavailable;
    }
    listener->resume();
    router->resume();
  }

  router->send(
      std::string(TokenOwnerRegistrationProtocol::registerOwnerSelector), {listener->endpoint()},
      [registered](xpc::Values values) {
        const bool* stored = values.size() == 1 ? std::get_if<bool>(&values[0]) : nullptr;
        registered->put(stored != nullptr && *stored);
      },
      [registered](xpc::Error) { registered->put(false); });

  // No lock is held while waiting: the router's handlers and the acceptance of connections take
  // the lifecycle lock on the layer's threads.
  if (registered->wait(options_.registrationLimit, *options_.clock) != true) {
    {
      const std::lock_guard lifecycle(lifecycle_);
      stopHoldingLifecycle();
    }
    throw TokenFailure::unavailable;
  }
}

bool TokenCompanionBridge::isConnected() const {
  const std::lock_guard lifecycle(lifecycle_);
  const std::lock_guard lock(lock_);
  return !stopped_ && listener_ && router_;
}

void TokenCompanionBridge::stop() {
  const std::lock_guard lifecycle(lifecycle_);
  stopHoldingLifecycle();
}

void TokenCompanionBridge::stopHoldingLifecycle() {
  stopped_ = true;
  std::shared_ptr<xpc::Listener> listener;
  std::shared_ptr<xpc::Connection> router;
  Connections connections;
  {
    const std::lock_guard lock(lock_);
    listener = std::exchange(listener_, nullptr);
    router = std::exchange(router_, nullptr);
    connections = std::exchange(connections_, {});
  }
  if (listener) listener->invalidate();
  if (router) {
    // Its handlers would only stop this bridge again.
    router->setInvalidationHandler({});
    router->setInterruptionHandler({});
    router->invalidate();
  }
  for (const auto& [id, connection] : connections) connection->invalidate();
}

bool TokenCompanionBridge::shouldAccept(xpc::Listener& asking, std::shared_ptr<xpc::Connection> connection) {
  const std::lock_guard lifecycle(lifecycle_);
  if (stopped_) return false;
  if (connection->peerEffectiveUID() != options_.effectiveUID) return false;

  const auto id = UUID::random();
  {
    const std::lock_guard lock(lock_);
    // Only the listener this bridge opened and holds serves the owner.
    if (listener_.get() != &asking) return false;
    if (connections_.size() >= maximumConnectionCount) return false;
    if (!connections_.emplace(id, connection).second) return false;
  }

  connection->setExportedInterface(TokenSessionOwnerProtocol::interface());
  connection->setExportedObject(std::make_shared<TokenOwnerExport>(owner_));
  connection->setInvalidationHandler([self = weak_from_this(), id] {
    const auto bridge = self.lock();
    if (!bridge) return;
    Connections::node_type gone;
    {
      const std::lock_guard lock(bridge->lock_);
      gone = bridge->connections_.extract(id);
    }
  });
  connection->resume();
  return true;
}

}  // namespace corvanta

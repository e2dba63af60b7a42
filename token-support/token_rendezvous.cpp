#include "token-support/token_rendezvous.hpp"

#include "token-support/token_protocols.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace corvanta {

using platform::foundation::UUID;
using platform::xpc::Connection;
using platform::xpc::Endpoint;
using platform::xpc::ExportedObject;
using platform::xpc::Listener;
using platform::xpc::Reply;
using platform::xpc::Value;
using platform::xpc::Values;

namespace {

// Serves the registration of one connection: whatever it registers is owned by that connection.
class RegistrationExport final : public ExportedObject {
public:
  RegistrationExport(std::shared_ptr<TokenEndpointStore> store, UUID connectionID)
      : store_(std::move(store)), connectionID_(connectionID) {}

  void invoke(const std::string& selector, Values arguments, Reply reply) override {
    // The layer delivers only calls of the exported interface; anything else is dropped unanswered.
    if (selector != TokenOwnerRegistrationProtocol::registerOwnerSelector || arguments.size() != 1) return;
    const auto* endpoint = std::get_if<Endpoint>(&arguments[0]);
    if (endpoint == nullptr) return;
    bool stored = false;
    {
      auto locked = store_->lock();
      stored = locked.registerOwner(*endpoint, connectionID_);
    }
    reply({stored});
  }

private:
  const std::shared_ptr<TokenEndpointStore> store_;
  const UUID connectionID_;
};

// Answers with the endpoint registered at the moment of the call, or none.
class DirectoryExport final : public ExportedObject {
public:
  explicit DirectoryExport(std::shared_ptr<TokenEndpointStore> store) : store_(std::move(store)) {}

  void invoke(const std::string& selector, Values arguments, Reply reply) override {
    if (selector != TokenEndpointDirectoryProtocol::ownerEndpointSelector || !arguments.empty()) return;
    std::optional<Endpoint> endpoint;
    {
      auto locked = store_->lock();
      endpoint = locked.endpoint();
    }
    reply({endpoint ? Value(std::move(*endpoint)) : Value(std::monostate{})});
  }

private:
  const std::shared_ptr<TokenEndpointStore> store_;
};

}  // namespace

std::shared_ptr<TokenRendezvous> TokenRendezvous::make(std::shared_ptr<TokenEndpointStore> store, Mode mode,
                                                       uid_t ownEffectiveUID) {
  return std::make_shared<TokenRendezvous>(ConstructionKey{}, std::move(store), mode, ownEffectiveUID);
}

TokenRendezvous::TokenRendezvous(ConstructionKey, std::shared_ptr<TokenEndpointStore> store, Mode mode,
                                 uid_t ownEffectiveUID)
    : store_(std::move(store)), mode_(mode), ownEffectiveUID_(ownEffectiveUID) {
  if (!store_) throw std::invalid_argument("a rendezvous needs an endpoint store");
}

bool TokenRendezvous::shouldAccept(Listener&, std::shared_ptr<Connection> connection) {
  // The code-signing requirement was checked by the listener; a process of another user that
  // satisfies it is still no peer of ours.
  if (connection->peerEffectiveUID() != ownEffectiveUID_) return false;

  const UUID connectionID = UUID::random();
  {
    std::lock_guard guard(mutex_);
    if (connections_.size() >= connectionLimit) return false;
    connections_.emplace(connectionID, connection);
  }

  switch (mode_) {
    case Mode::registration:
      connection->setExportedInterface(TokenOwnerRegistrationProtocol::interface());
      connection->setExportedObject(std::make_shared<RegistrationExport>(store_, connectionID));
      break;
    case Mode::directory:
      connection->setExportedInterface(TokenEndpointDirectoryProtocol::interface());
      connection->setExportedObject(std::make_shared<DirectoryExport>(store_));
      break;
  }
  // The handler must not hold the connection (it would keep itself alive) nor the delegate.
  connection->setInvalidationHandler([weakSelf = weak_from_this(), connectionID] {
    if (const auto self = weakSelf.lock()) self->connectionWentAway(connectionID);
  });
  connection->resume();
  return true;
}

void TokenRendezvous::connectionWentAway(const UUID& connectionID) {
  {
    auto locked = store_->lock();
    locked.clear(connectionID);
  }
  std::shared_ptr<Connection> leaving;
  {
    std::lock_guard guard(mutex_);
    if (const auto it = connections_.find(connectionID); it != connections_.end()) {
      leaving = std::move(it->second);
      connections_.erase(it);
    }
  }
  // Released here, outside the lock.
}

}  // namespace corvanta

#include "token-support/token_endpoint_store.hpp"

namespace corvanta {

using platform::foundation::UUID;
using platform::xpc::Endpoint;

TokenEndpointStore::Locked::Locked(TokenEndpointStore& store) : guard_(store.mutex_), store_(store) {}

TokenEndpointStore::Locked TokenEndpointStore::lock() { return Locked(*this); }

bool TokenEndpointStore::Locked::registerOwner(const Endpoint& endpoint, const UUID& connectionID) {
  auto& registration = store_.registration_;
  if (registration && registration->ownerConnectionID != connectionID) return false;
  registration = Registration{endpoint, connectionID};
  return true;
}

void TokenEndpointStore::Locked::clear(const UUID& connectionID) {
  auto& registration = store_.registration_;
  if (registration && registration->ownerConnectionID == connectionID) registration.reset();
}

std::optional<Endpoint> TokenEndpointStore::Locked::endpoint() const {
  const auto& registration = store_.registration_;
  if (!registration) return std::nullopt;
  return registration->endpoint;
}

}  // namespace corvanta

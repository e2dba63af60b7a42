#pragma once

#include "platform/foundation/uuid.hpp"
#include "platform/xpc/value.hpp"

#include <mutex>
#include <optional>

namespace corvanta {

// The endpoint of the app's listener as the router knows it, and which registration connection
// put it there. Shared by the router's two services; nothing in it is reachable without its lock.
class TokenEndpointStore {
public:
  // The store under its lock for as long as this lives. Keep it to a scope that makes no call to
  // another process: both services wait on the same lock.
  class Locked {
  public:
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    // Stores the endpoint when the slot is empty or already held by this connection (replacing
    // its earlier endpoint) and answers true; otherwise changes nothing and answers false. The
    // first connection that registers owns the slot until it goes away.
    bool registerOwner(const platform::xpc::Endpoint& endpoint, const platform::foundation::UUID& connectionID);
    // Empties the slot when this connection holds it; otherwise changes nothing.
    void clear(const platform::foundation::UUID& connectionID);
    // The registered endpoint, or none.
    std::optional<platform::xpc::Endpoint> endpoint() const;

  private:
    friend class TokenEndpointStore;
    explicit Locked(TokenEndpointStore& store);

    std::unique_lock<std::mutex> guard_;
    TokenEndpointStore& store_;
  };

  TokenEndpointStore() = default;
  TokenEndpointStore(const TokenEndpointStore&) = delete;
  TokenEndpointStore& operator=(const TokenEndpointStore&) = delete;

  // Blocks until the lock is free.
  Locked lock();

private:
  // Endpoint and owner are set and cleared together.
  struct Registration {
    platform::xpc::Endpoint endpoint;
    platform::foundation::UUID ownerConnectionID;
  };

  std::mutex mutex_;
  std::optional<Registration> registration_;
};

}  // namespace corvanta

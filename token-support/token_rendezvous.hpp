#pragma once

#include "platform/foundation/uuid.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "token-support/token_endpoint_store.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

namespace corvanta {

// The router's listener delegate for one of its two services. In registration mode its
// connections serve the owner registration protocol (the app registers the endpoint of its
// listener); in directory mode they serve the endpoint directory protocol (the extension looks
// that endpoint up). Both delegates of the router share one store.
//
// A new connection is accepted only from a peer of this process's own effective user, and only
// while fewer than connectionLimit connections are held. When a connection goes away, the slot of
// the store is emptied if that connection held it.
class TokenRendezvous final : public platform::xpc::ListenerDelegate,
                              public std::enable_shared_from_this<TokenRendezvous> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

public:
  enum class Mode { registration, directory };

  static constexpr std::size_t connectionLimit = 8;

  // Made shared only: the listener and the handlers of its connections hold it weakly.
  // `ownEffectiveUID` is the user whose peers are accepted: this process's own.
  static std::shared_ptr<TokenRendezvous> make(std::shared_ptr<TokenEndpointStore> store, Mode mode,
                                               uid_t ownEffectiveUID = ::geteuid());

  TokenRendezvous(ConstructionKey, std::shared_ptr<TokenEndpointStore> store, Mode mode, uid_t ownEffectiveUID);
  TokenRendezvous(const TokenRendezvous&) = delete;
  TokenRendezvous& operator=(const TokenRendezvous&) = delete;

  bool shouldAccept(platform::xpc::Listener& listener, std::shared_ptr<platform::xpc::Connection> connection) override;

private:
  void connectionWentAway(const platform::foundation::UUID& connectionID);

  const std::shared_ptr<TokenEndpointStore> store_;
  const Mode mode_;
  const uid_t ownEffectiveUID_;

  std::mutex mutex_;
  std::map<platform::foundation::UUID, std::shared_ptr<platform::xpc::Connection>> connections_;
};

}  // namespace corvanta

#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"
#include "platform/tokenkit/token_driver.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace platform::tokenkit {

// A client program of the token host as the host tells it apart: a number of its own for each
// client connection, and the name it shows the user when it asks for a secret on the client's
// behalf.
struct TokenClient {
  std::uint64_t id = 0;
  std::string name;

  friend bool operator==(const TokenClient&, const TokenClient&) = default;
};

// A token the host offers its clients: the driver it belongs to, its instance and the items its
// configuration lists.
struct HostedToken {
  std::string driverID;
  std::string instanceID;
  std::vector<KeychainItem> keychainItems;

  friend bool operator==(const HostedToken&, const HostedToken&) = default;
};

// What the token host does for its clients, whatever carries their requests to it.
class TokenHostService {
public:
  virtual ~TokenHostService() = default;

  virtual std::vector<HostedToken> tokens() = 0;
  // Signs the digest with the key of that object identifier in whichever token lists it, asking the
  // user for what the key demands. Blocks until the token answers.
  virtual Result<Bytes> sign(const TokenClient& client, const std::string& keyObjectID,
                             const std::string& algorithmID, const Bytes& digest) = 0;
  // The client's connection ended: its sessions are released.
  virtual void clientGone(std::uint64_t clientID) = 0;
};

}  // namespace platform::tokenkit

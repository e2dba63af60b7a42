#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::tokenkit {

// One token as its driver publishes it: the token host makes a token of the driver for each
// configuration, from its configuration data and keychain items. A handle to the stored
// configuration: reads see the store as it is now, writes replace what the store holds. Writes
// throw std::system_error when the store cannot be written; nothing is then changed.
class TokenConfiguration {
public:
  virtual ~TokenConfiguration() = default;

  virtual std::string instanceID() const = 0;
  virtual std::optional<Bytes> configurationData() const = 0;
  virtual void setConfigurationData(std::optional<Bytes> data) = 0;
  virtual std::vector<KeychainItem> keychainItems() const = 0;
  virtual void setKeychainItems(std::vector<KeychainItem> items) = 0;
};

// The configurations of one installed token driver, keyed by token instance identifier.
class DriverConfiguration {
public:
  virtual ~DriverConfiguration() = default;

  virtual std::string driverID() const = 0;
  virtual std::map<std::string, std::shared_ptr<TokenConfiguration>> tokenConfigurations() const = 0;
  // A new, empty configuration, replacing any of the same instance identifier.
  virtual std::shared_ptr<TokenConfiguration> addTokenConfiguration(const std::string& instanceID) = 0;
  // No effect when there is none of that identifier.
  virtual void removeTokenConfiguration(const std::string& instanceID) = 0;
};

// The token configurations of the user's session. A driver has a configuration only once it is
// installed; until then it is absent from the map.
class TokenKit {
public:
  virtual ~TokenKit() = default;

  virtual std::map<std::string, std::shared_ptr<DriverConfiguration>> driverConfigurations() const = 0;
};

}  // namespace platform::tokenkit

#include "token-support/token_publication.hpp"

#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_peer_identity.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

namespace corvanta {

namespace {

using platform::tokenkit::DriverConfiguration;
using platform::tokenkit::TokenKit;

std::mutex& publicationLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<DriverConfiguration> systemDriver(const TokenKit& kit) {
  auto drivers = kit.driverConfigurations();
  const auto found = drivers.find(std::string(TokenPeerIdentity::driverID));
  return found == drivers.end() ? nullptr : found->second;
}

// The removal operations report nothing, so a store that fails to remove one configuration does
// not keep them from the others.
void removeQuietly(DriverConfiguration& driver, const std::string& instanceID) {
  try {
    driver.removeTokenConfiguration(instanceID);
  } catch (const std::system_error&) {
  }
}

bool holdsActivation(const platform::Bytes& data, const platform::foundation::UUID& activationID) {
  if (data.size() > TokenIdentity::maximumJSONByteCount) return false;
  try {
    return platform::foundation::decodeJSON<TokenIdentity>(data).activationID() == activationID;
  } catch (const platform::foundation::DecodingError&) {
    return false;
  }
}

}  // namespace

void TokenPublication::publish(TokenKit& kit, const TokenIdentity& identity, std::chrono::system_clock::time_point now) {
  const std::lock_guard lock(publicationLock());
  const auto driver = systemDriver(kit);
  if (!driver) throw TokenFailure::unavailable;
  auto items = identity.keychainItems(now);
  auto data = identity.encodedJSON();

  for (const auto& [instanceID, configuration] : driver->tokenConfigurations()) {
    driver->removeTokenConfiguration(instanceID);
  }
  const auto instanceID = identity.instanceID();
  const auto configuration = driver->addTokenConfiguration(instanceID);
  try {
    configuration->setConfigurationData(std::move(data));
    configuration->setKeychainItems(std::move(items));
  } catch (const std::system_error&) {
    removeQuietly(*driver, instanceID);
    throw;
  }
}

std::size_t TokenPublication::removeAllConfigurations(TokenKit& kit) {
  const std::lock_guard lock(publicationLock());
  const auto driver = systemDriver(kit);
  if (!driver) return 0;
  const auto configurations = driver->tokenConfigurations();
  for (const auto& [instanceID, configuration] : configurations) {
    removeQuietly(*driver, instanceID);
  }
  return configurations.size();
}

void TokenPublication::remove(TokenKit& kit, const platform::foundation::UUID& activationID) {
  const std::lock_guard lock(publicationLock());
  const auto driver = systemDriver(kit);
  if (!driver) return;
  for (const auto& [instanceID, configuration] : driver->tokenConfigurations()) {
    const auto data = configuration->configurationData();
    if (data && holdsActivation(*data, activationID)) {
      removeQuietly(*driver, instanceID);
    }
  }
}

}  // namespace corvanta

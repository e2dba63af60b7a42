#include "platform/tokenkit/testing/in_memory_token_kit.hpp"

#include <system_error>
#include <utility>
#include <vector>

namespace platform::tokenkit::testing {

struct StoredConfiguration {
  std::optional<Bytes> data;
  std::vector<KeychainItem> items;
};

struct InMemoryTokenKit::State {
  mutable std::mutex mutex;
  int failingWrites = 0;
  // driver identifier → instance identifier → configuration
  std::map<std::string, std::map<std::string, StoredConfiguration>> drivers;

  void checkWrite() {
    if (failingWrites > 0) {
      --failingWrites;
      throw std::system_error(std::make_error_code(std::errc::no_space_on_device), "token configuration");
    }
  }
};

namespace {

using State = InMemoryTokenKit::State;

class MemoryTokenConfiguration final : public TokenConfiguration {
public:
  MemoryTokenConfiguration(std::shared_ptr<State> state, std::string driverID, std::string instanceID)
      : state_(std::move(state)), driverID_(std::move(driverID)), instanceID_(std::move(instanceID)) {}

  std::string instanceID() const override { return instanceID_; }

  std::optional<Bytes> configurationData() const override {
    const std::lock_guard lock(state_->mutex);
    const auto* stored = find();
    return stored ? stored->data : std::nullopt;
  }

  void setConfigurationData(std::optional<Bytes> data) override {
    const std::lock_guard lock(state_->mutex);
    if (auto* stored = find()) {
      state_->checkWrite();
      stored->data = std::move(data);
    }
  }

  std::vector<KeychainItem> keychainItems() const override {
    const std::lock_guard lock(state_->mutex);
    const auto* stored = find();
    return stored ? stored->items : std::vector<KeychainItem>{};
  }

  void setKeychainItems(std::vector<KeychainItem> items) override {
    const std::lock_guard lock(state_->mutex);
    if (auto* stored = find()) {
      state_->checkWrite();
      stored->items = std::move(items);
    }
  }

private:
  // A handle whose configuration was removed reads as empty and writes nothing.
  StoredConfiguration* find() const {
    const auto driver = state_->drivers.find(driverID_);
    if (driver == state_->drivers.end()) return nullptr;
    const auto configuration = driver->second.find(instanceID_);
    return configuration == driver->second.end() ? nullptr : &configuration->second;
  }

  std::shared_ptr<State> state_;
  std::string driverID_;
  std::string instanceID_;
};

class MemoryDriverConfiguration final : public DriverConfiguration {
public:
  MemoryDriverConfiguration(std::shared_ptr<State> state, std::string driverID)
      : state_(std::move(state)), driverID_(std::move(driverID)) {}

  std::string driverID() const override { return driverID_; }

  std::map<std::string, std::shared_ptr<TokenConfiguration>> tokenConfigurations() const override {
    const std::lock_guard lock(state_->mutex);
    std::map<std::string, std::shared_ptr<TokenConfiguration>> configurations;
    for (const auto& [instanceID, stored] : state_->drivers[driverID_]) {
      configurations.emplace(instanceID, std::make_shared<MemoryTokenConfiguration>(state_, driverID_, instanceID));
    }
    return configurations;
  }

  std::shared_ptr<TokenConfiguration> addTokenConfiguration(const std::string& instanceID) override {
    const std::lock_guard lock(state_->mutex);
    state_->checkWrite();
    state_->drivers[driverID_][instanceID] = StoredConfiguration{};
    return std::make_shared<MemoryTokenConfiguration>(state_, driverID_, instanceID);
  }

  void removeTokenConfiguration(const std::string& instanceID) override {
    const std::lock_guard lock(state_->mutex);
    state_->checkWrite();
    state_->drivers[driverID_].erase(instanceID);
  }

private:
  std::shared_ptr<State> state_;
  std::string driverID_;
};

}  // namespace

InMemoryTokenKit::InMemoryTokenKit() : state_(std::make_shared<State>()) {}

void InMemoryTokenKit::installDriver(const std::string& driverID) {
  const std::lock_guard lock(state_->mutex);
  state_->drivers.try_emplace(driverID);
}

void InMemoryTokenKit::failNextWrites(int count) {
  const std::lock_guard lock(state_->mutex);
  state_->failingWrites = count;
}

std::map<std::string, std::shared_ptr<DriverConfiguration>> InMemoryTokenKit::driverConfigurations() const {
  const std::lock_guard lock(state_->mutex);
  std::map<std::string, std::shared_ptr<DriverConfiguration>> drivers;
  for (const auto& [driverID, configurations] : state_->drivers) {
    drivers.emplace(driverID, std::make_shared<MemoryDriverConfiguration>(state_, driverID));
  }
  return drivers;
}

}  // namespace platform::tokenkit::testing

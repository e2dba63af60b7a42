#include "token-support/token_publication.hpp"

#include "platform/foundation/uuid.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/tokenkit/file_token_kit.hpp"
#include "platform/tokenkit/testing/in_memory_token_kit.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::Bytes;
using platform::foundation::UUID;
using platform::tokenkit::DriverConfiguration;
using platform::tokenkit::FileTokenKit;
using platform::tokenkit::KeychainItem;
using platform::tokenkit::TokenConfiguration;
using platform::tokenkit::TokenKit;
using platform::tokenkit::testing::InMemoryTokenKit;

const std::string driverID(TokenPeerIdentity::driverID);

struct Published {
  std::optional<Bytes> data;
  std::vector<KeychainItem> items;
};

std::map<std::string, Published> configurationsOf(const TokenKit& kit, const std::string& driver = driverID) {
  std::map<std::string, Published> published;
  const auto drivers = kit.driverConfigurations();
  const auto found = drivers.find(driver);
  if (found == drivers.end()) return published;
  for (const auto& [instanceID, configuration] : found->second->tokenConfigurations()) {
    published.emplace(instanceID, Published{configuration->configurationData(), configuration->keychainItems()});
  }
  return published;
}

void addConfiguration(TokenKit& kit, const std::string& instanceID, std::optional<Bytes> data,
                      const std::string& driver = driverID) {
  kit.driverConfigurations().at(driver)->addTokenConfiguration(instanceID)->setConfigurationData(std::move(data));
}

class TokenPublicationTest : public ::testing::Test {
protected:
  TokenPublicationTest() { kit.installDriver(driverID); }

  // Exactly one configuration, the identity's, with its data and items.
  void expectOnly(const TokenIdentity& identity) {
    const auto published = configurationsOf(kit);
    ASSERT_EQ(published.size(), 1u);
    const auto& [instanceID, configuration] = *published.begin();
    EXPECT_EQ(instanceID, identity.instanceID());
    EXPECT_EQ(configuration.data, identity.encodedJSON());
    EXPECT_EQ(configuration.items, identity.keychainItems(testNow));
  }

  InMemoryTokenKit kit;
  TokenIdentity a = identityOf(ecCertificate(1));
  TokenIdentity b = identityOf(rsaCertificate(2));
};

TEST_F(TokenPublicationTest, PublishingReplacesEveryConfigurationOfTheDriver) {
  TokenPublication::publish(kit, a, testNow);
  expectOnly(a);
  TokenPublication::publish(kit, b, testNow);
  expectOnly(b);
  TokenPublication::publish(kit, b, testNow);
  expectOnly(b);
  // A new activation of the same certificate replaces the old one under the same instance.
  const auto renewed = identityOf(b.certificateDER());
  TokenPublication::publish(kit, renewed, testNow);
  expectOnly(renewed);
}

TEST_F(TokenPublicationTest, OtherDriversAreLeftAlone) {
  kit.installDriver("org.example.other");
  addConfiguration(kit, "theirs", platform::bytesOf("data"), "org.example.other");
  TokenPublication::publish(kit, a, testNow);
  EXPECT_EQ(TokenPublication::removeAllConfigurations(kit), 1u);
  const auto theirs = configurationsOf(kit, "org.example.other");
  ASSERT_EQ(theirs.size(), 1u);
  EXPECT_EQ(theirs.at("theirs").data, platform::bytesOf("data"));
}

TEST_F(TokenPublicationTest, RemovalByActivationTakesOnlyThatActivation) {
  TokenPublication::publish(kit, b, testNow);
  TokenPublication::remove(kit, a.activationID());
  expectOnly(b);
  // Same certificate, another activation: still not this one.
  TokenPublication::remove(kit, identityOf(b.certificateDER()).activationID());
  expectOnly(b);
  TokenPublication::remove(kit, b.activationID());
  EXPECT_TRUE(configurationsOf(kit).empty());
}

TEST_F(TokenPublicationTest, RemovalByActivationDoesNotRequireAStillValidCertificate) {
  // Published while valid; the certificate has expired by now, yet its activation can be withdrawn.
  const auto expiring = certificateOf(platform::security::testing::sharedTestKeys().p256, 3,
                                      Clock::now() - 24h * 30, Clock::now() - 24h);
  const TokenIdentity old(UUID::random(), expiring, Clock::now() - 24h * 2);
  TokenPublication::publish(kit, old, Clock::now() - 24h * 2);
  ASSERT_EQ(configurationsOf(kit).size(), 1u);
  TokenPublication::remove(kit, old.activationID());
  EXPECT_TRUE(configurationsOf(kit).empty());
}

TEST_F(TokenPublicationTest, ForeignAndOversizedDataSurviveRemovalByActivationOnly) {
  TokenPublication::publish(kit, a, testNow);
  auto oversized = a.encodedJSON();
  // Still the identity's JSON once white space is skipped: only the size keeps it from matching.
  oversized.resize(TokenIdentity::maximumJSONByteCount + 1, ' ');
  addConfiguration(kit, "oversized", oversized);
  addConfiguration(kit, "foreign", platform::bytesOf("not an identity"));
  addConfiguration(kit, "other object", platform::bytesOf("{\"version\":1}"));
  addConfiguration(kit, "no data", std::nullopt);

  TokenPublication::remove(kit, a.activationID());
  const auto survivors = configurationsOf(kit);
  EXPECT_EQ(survivors.size(), 4u);
  EXPECT_EQ(survivors.count(a.instanceID()), 0u);
  EXPECT_EQ(survivors.at("oversized").data, oversized);

  TokenPublication::publish(kit, b, testNow);
  expectOnly(b);

  addConfiguration(kit, "oversized", oversized);
  addConfiguration(kit, "foreign", platform::bytesOf("not an identity"));
  EXPECT_EQ(TokenPublication::removeAllConfigurations(kit), 3u);
  EXPECT_TRUE(configurationsOf(kit).empty());
  EXPECT_EQ(TokenPublication::removeAllConfigurations(kit), 0u);
}

TEST(TokenPublication, AnUnknownDriverIsUnavailableToPublishAndNothingToRemove) {
  InMemoryTokenKit kit;
  kit.installDriver(driverID + "x");
  const auto identity = identityOf(ecCertificate());
  EXPECT_TRUE(throwsExactly([&] { TokenPublication::publish(kit, identity, testNow); }, TokenFailure::unavailable));
  EXPECT_EQ(TokenPublication::removeAllConfigurations(kit), 0u);
  EXPECT_NO_THROW(TokenPublication::remove(kit, identity.activationID()));
  EXPECT_TRUE(configurationsOf(kit, driverID + "x").empty());
}

TEST_F(TokenPublicationTest, AFailingIdentityLeavesTheEarlierConfigurations) {
  TokenPublication::publish(kit, a, testNow);
  EXPECT_TRUE(throwsExactly([&] { TokenPublication::publish(kit, b, validUntil); }, TokenFailure::invalidConfiguration));
  expectOnly(a);
  const auto versionTwo = platform::foundation::decodeJSON<TokenIdentity>(
      "{\"version\":2,\"activationID\":\"" + UUID::random().uuidString() + "\",\"certificateDER\":\"" +
      platform::foundation::JSONObjectReader::root(platform::foundation::parseJSON(b.encodedJSON()))
          .required<std::string>("certificateDER") +
      "\"}");
  EXPECT_TRUE(throwsExactly([&] { TokenPublication::publish(kit, versionTwo, testNow); }, TokenFailure::invalidConfiguration));
  expectOnly(a);
}

TEST_F(TokenPublicationTest, AStoreThatCannotBeWrittenFailsThePublicationAndNotTheRemovals) {
  TokenPublication::publish(kit, a, testNow);
  kit.failNextWrites(1);
  EXPECT_THROW(TokenPublication::publish(kit, b, testNow), std::system_error);
  expectOnly(a);

  addConfiguration(kit, "second", platform::bytesOf("x"));
  kit.failNextWrites(1);
  EXPECT_EQ(TokenPublication::removeAllConfigurations(kit), 2u);
  EXPECT_EQ(configurationsOf(kit).size(), 1u);

  TokenPublication::publish(kit, a, testNow);
  kit.failNextWrites(1);
  EXPECT_NO_THROW(TokenPublication::remove(kit, a.activationID()));
  expectOnly(a);
  TokenPublication::remove(kit, a.activationID());
  EXPECT_TRUE(configurationsOf(kit).empty());
}

// Over the store the token host reads: what one process publishes, another instance on the same
// directory (as the host opens it) sees whole, and the removals reach it too.
TEST(TokenPublicationOverTheFileStore, TheHostSeesExactlyWhatWasPublished) {
  const platform::foundation::testing::TemporaryDirectory directory;
  FileTokenKit app(directory.path());
  app.installDriver(driverID);
  const FileTokenKit host(directory.path());
  const auto a = identityOf(ecCertificate(1));
  const auto b = identityOf(rsaCertificate(2));

  TokenPublication::publish(app, a, testNow);
  TokenPublication::publish(app, b, testNow);
  TokenPublication::publish(app, b, testNow);
  auto seen = configurationsOf(host);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.begin()->first, b.instanceID());
  EXPECT_EQ(seen.begin()->second.data, b.encodedJSON());
  EXPECT_EQ(seen.begin()->second.items, b.keychainItems(testNow));
  EXPECT_EQ(TokenIdentity::decode(*seen.begin()->second.data, testNow), b);

  addConfiguration(app, "foreign", platform::bytesOf("not an identity"));
  TokenPublication::remove(app, a.activationID());
  EXPECT_EQ(configurationsOf(host).size(), 2u);
  TokenPublication::remove(app, b.activationID());
  seen = configurationsOf(host);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.begin()->first, "foreign");
  EXPECT_EQ(TokenPublication::removeAllConfigurations(app), 1u);
  EXPECT_TRUE(configurationsOf(host).empty());
}

// A kit whose configurations take their data but refuse their keychain items, as a store that
// fills up between the two writes would.
class ItemsRefusingKit final : public TokenKit {
public:
  explicit ItemsRefusingKit(TokenKit& inner) : inner_(inner) {}

  std::map<std::string, std::shared_ptr<DriverConfiguration>> driverConfigurations() const override {
    auto drivers = inner_.driverConfigurations();
    for (auto& [id, driver] : drivers) driver = std::make_shared<Driver>(driver);
    return drivers;
  }

private:
  class Configuration final : public TokenConfiguration {
  public:
    explicit Configuration(std::shared_ptr<TokenConfiguration> inner) : inner_(std::move(inner)) {}
    std::string instanceID() const override { return inner_->instanceID(); }
    std::optional<Bytes> configurationData() const override { return inner_->configurationData(); }
    void setConfigurationData(std::optional<Bytes> data) override { inner_->setConfigurationData(std::move(data)); }
    std::vector<KeychainItem> keychainItems() const override { return inner_->keychainItems(); }
    void setKeychainItems(std::vector<KeychainItem>) override {
      throw std::system_error(std::make_error_code(std::errc::no_space_on_device), "keychain items");
    }

  private:
    std::shared_ptr<TokenConfiguration> inner_;
  };

  class Driver final : public DriverConfiguration {
  public:
    explicit Driver(std::shared_ptr<DriverConfiguration> inner) : inner_(std::move(inner)) {}
    std::string driverID() const override { return inner_->driverID(); }
    std::map<std::string, std::shared_ptr<TokenConfiguration>> tokenConfigurations() const override {
      return inner_->tokenConfigurations();
    }
    std::shared_ptr<TokenConfiguration> addTokenConfiguration(const std::string& instanceID) override {
      return std::make_shared<Configuration>(inner_->addTokenConfiguration(instanceID));
    }
    void removeTokenConfiguration(const std::string& instanceID) override { inner_->removeTokenConfiguration(instanceID); }

  private:
    std::shared_ptr<DriverConfiguration> inner_;
  };

  TokenKit& inner_;
};

TEST_F(TokenPublicationTest, AConfigurationLeftHalfWrittenIsTakenAwayAgain) {
  TokenPublication::publish(kit, a, testNow);
  ItemsRefusingKit refusing(kit);
  EXPECT_THROW(TokenPublication::publish(refusing, b, testNow), std::system_error);
  // The earlier configuration was already replaced; no token without its items is left.
  EXPECT_TRUE(configurationsOf(kit).empty());
}

// A kit that runs a hook the first time a publication looks up the drivers, and tells whether
// any other thread reached the kit while that hook ran.
class ObservedKit final : public TokenKit {
public:
  explicit ObservedKit(TokenKit& inner) : inner_(inner) {}

  mutable std::function<void()> onFirstLookup;

  std::map<std::string, std::shared_ptr<DriverConfiguration>> driverConfigurations() const override {
    std::function<void()> hook;
    {
      const std::lock_guard lock(mutex_);
      if (hookRunning_) {
        enteredDuringHook_ = true;
        changed_.notify_all();
      }
      hook = std::exchange(onFirstLookup, nullptr);
      hookRunning_ = static_cast<bool>(hook);
    }
    if (hook) {
      hook();
      const std::lock_guard lock(mutex_);
      hookRunning_ = false;
    }
    return inner_.driverConfigurations();
  }

  // Waits until another thread reached the kit during the hook, or the time is up.
  bool waitForEntryDuringHook(std::chrono::milliseconds patience) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [this] { return enteredDuringHook_; });
  }

  bool enteredDuringHook() const {
    const std::lock_guard lock(mutex_);
    return enteredDuringHook_;
  }

private:
  TokenKit& inner_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable bool hookRunning_ = false;
  mutable bool enteredDuringHook_ = false;
};

TEST_F(TokenPublicationTest, NoOperationStartsWhileAnotherRuns) {
  ObservedKit observed(kit);
  std::thread other;
  // While the publication holds its lock, the other operations are started from another thread;
  // none of them may reach the kit before it is done. A slow machine can only hide a missing lock
  // (the other thread not getting there within the patience), never fail a sound one.
  observed.onFirstLookup = [&] {
    other = std::thread([&] {
      TokenPublication::removeAllConfigurations(observed);
      TokenPublication::remove(observed, a.activationID());
      TokenPublication::publish(observed, b, testNow);
    });
    EXPECT_FALSE(observed.waitForEntryDuringHook(std::chrono::milliseconds(300)));
  };
  TokenPublication::publish(observed, a, testNow);
  other.join();
  EXPECT_FALSE(observed.enteredDuringHook());
  expectOnly(b);
}

}  // namespace
}  // namespace corvanta

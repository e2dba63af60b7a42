#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/extension/extension_message.hpp"
#include "platform/tokenkit/keychain_item.hpp"
#include "platform/tokenkit/token_driver.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform::tokenkit {

// An object in a token extension process: which run of the process made it, and its handle there.
// A handle outlives the process that made it only as a name for nothing.
struct ExtensionHandle {
  std::uint64_t run = 0;
  ExtensionObject object = 0;

  friend bool operator==(const ExtensionHandle&, const ExtensionHandle&) = default;
};

struct BegunAuthOperation {
  AuthOperationKind kind = AuthOperationKind::none;
  ExtensionHandle operation;  // unless none
};

// The host's side of one token extension: its driver's objects called as if they were here. The
// process is started at the first call that makes a token and again at the first such call after it
// died; until then every call on an object of the dead run answers communicationError (-2) at once,
// and so does every call in flight when it dies, when it sends what is not a reply of the protocol,
// or when a message cannot reach it. Calls are made from any number of threads at once; each waits
// for its own reply only, and none holds a lock while it waits.
class ExtensionProxy {
public:
  explicit ExtensionProxy(std::filesystem::path executable);
  // Closes the connection, so that the extension ends, and reaps it; one that does not end within
  // a grace period is killed. No call may be in flight.
  ~ExtensionProxy();
  ExtensionProxy(const ExtensionProxy&) = delete;
  ExtensionProxy& operator=(const ExtensionProxy&) = delete;

  const std::filesystem::path& executable() const { return executable_; }

  // Whether the run that made the object is still the one serving.
  bool isLive(const ExtensionHandle& handle) const;

  // badParameter (-8) when the configuration does not fit a message.
  Result<ExtensionHandle> tokenForConfiguration(const TokenConfigurationSnapshot& configuration);
  void terminateToken(const ExtensionHandle& token);
  Result<ExtensionHandle> createSession(const ExtensionHandle& token);
  void releaseSession(const ExtensionHandle& session);
  Result<bool> supports(const ExtensionHandle& session, Operation operation, const ObjectID& key,
                        const KeyAlgorithm& algorithm);
  Result<Bytes> signData(const ExtensionHandle& session, const Bytes& data, const ObjectID& key,
                         const KeyAlgorithm& algorithm);
  Result<BegunAuthOperation> beginAuth(const ExtensionHandle& session, Operation operation,
                                       const Constraint& constraint);
  // The password is wiped here, whether or not it reached the extension.
  Result<void> finish(const ExtensionHandle& operation, std::optional<std::string> password);
  void releaseOperation(const ExtensionHandle& operation);

  // How long a closed extension has to end by itself before it is killed.
  static constexpr std::chrono::milliseconds closingGrace{2000};

  class Connection;

private:
  std::shared_ptr<Connection> liveConnection(const ExtensionHandle& handle) const;
  Result<std::shared_ptr<Connection>> runningConnection();

  std::filesystem::path executable_;
  mutable std::mutex mutex_;
  std::shared_ptr<Connection> current_;
  std::uint64_t lastRun_ = 0;
};

}  // namespace platform::tokenkit

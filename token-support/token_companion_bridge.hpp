#pragma once

#include "platform/codesign/code_signing.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "token-support/token_signing_owner.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace corvanta {

struct TokenCompanionBridgeOptions {
  // How long start() waits for the router to take the endpoint, on `clock`.
  platform::runtime::ContinuousClock::Duration registrationLimit = std::chrono::seconds(5);
  // Must outlive the bridge.
  const platform::runtime::ContinuousClock* clock = &platform::runtime::ContinuousClock::system();
  // The effective user whose processes may connect: this process's own. A test passes another to
  // make a real peer of the same user look like someone else's.
  uid_t effectiveUID = ::geteuid();
};

// The app's end of the token path. It opens an anonymous listener that only the token extension
// may connect to, exports the signing owner on every connection it accepts (one TokenOwnerExport
// each), and registers the listener's endpoint at the router's registration service, where the
// extension looks it up. The app makes one bridge per activation, starts it once the owner is
// active, watches isConnected and stops it when the certificate is withdrawn or the app quits.
//
// A bridge goes from created to started by start() and to stopped, for good, by stop(), by a
// failed start(), by the loss of the router connection or by its destruction; a stopped bridge
// never starts again. Create it with std::make_shared: the listener and the router connection hold
// it weakly. The XPC context must outlive it.
class TokenCompanionBridge final : public platform::xpc::ListenerDelegate,
                                   public std::enable_shared_from_this<TokenCompanionBridge> {
public:
  using Options = TokenCompanionBridgeOptions;

  // Extension connections held at a time; a further one is refused.
  static constexpr std::size_t maximumConnectionCount = 8;

  TokenCompanionBridge(std::shared_ptr<TokenSigningOwner> owner, platform::xpc::Context& context,
                       std::shared_ptr<const platform::codesign::CodeSigning> codeSigning, Options options = {});
  ~TokenCompanionBridge() override;

  TokenCompanionBridge(const TokenCompanionBridge&) = delete;
  TokenCompanionBridge& operator=(const TokenCompanionBridge&) = delete;

  // Opens the listener and registers its endpoint; on return the router holds it. Blocks the
  // calling thread for at most the registration limit, so never call it on one of the XPC
  // context's threads or an executor's thread (from a coroutine, through runBlocking). Throws
  // TokenFailure::signingSetupRequired when the own team identifier cannot be read or a
  // requirement is refused (nothing is held then), and TokenFailure::unavailable when the bridge
  // is stopped or already started (the running one is left alone), when the listener cannot be
  // opened, or when the router cannot be reached, refuses the endpoint or does not answer in time
  // (the bridge has then stopped itself).
  void start();

  // Started, registered and not lost since.
  bool isConnected() const;

  // Closes the listener, the router connection and every extension connection. Calling it again
  // finds nothing to close.
  void stop();

  // Called by the listener for each extension that passed its code-signing requirement.
  bool shouldAccept(platform::xpc::Listener& listener, std::shared_ptr<platform::xpc::Connection> connection) override;

private:
  using Connections = std::unordered_map<platform::foundation::UUID, std::shared_ptr<platform::xpc::Connection>>;

  // The caller holds lifecycle_.
  void stopHoldingLifecycle();

  std::shared_ptr<TokenSigningOwner> owner_;
  platform::xpc::Context& context_;
  std::shared_ptr<const platform::codesign::CodeSigning> codeSigning_;
  Options options_;

  // Serialises start, stop, acceptance and the router's loss; taken before lock_. Recursive, so
  // that a stop reached from within a section that already holds it cannot deadlock.
  mutable std::recursive_mutex lifecycle_;
  // Guarded by lifecycle_.
  bool stopped_ = false;

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::shared_ptr<platform::xpc::Listener> listener_;
  std::shared_ptr<platform::xpc::Connection> router_;
  Connections connections_;
};

}  // namespace corvanta

#include "session-router/router_main.hpp"

#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_endpoint_store.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_rendezvous.hpp"
#include "token-support/token_update_state.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <unistd.h>

#include <cassert>
#include <exception>
#include <optional>
#include <string>

namespace corvanta {

namespace xpc = platform::xpc;

int routerMain(const RouterPaths& paths, std::shared_ptr<const platform::codesign::CodeSigning> codeSigning) {
  if (TokenUpdateState::isInstalling(paths.installationMarker)) return routerExitInstalling;

  std::string teamID;
  try {
    teamID = TokenPeerIdentity::currentTeamID(*codeSigning);
  } catch (const TokenFailure&) {
    return routerExitConfiguration;
  }

  // Declared first so that it goes last: the listeners and the connections the delegates hold
  // must be gone before their context. Made with the listeners.
  std::optional<xpc::Context> context;

  const auto store = std::make_shared<TokenEndpointStore>();
  const auto registration = TokenRendezvous::make(store, TokenRendezvous::Mode::registration);
  const auto directory = TokenRendezvous::make(store, TokenRendezvous::Mode::directory);

  // Bound and listening from here on: a peer that connects before the listeners are resumed
  // waits in the backlog. A socket file that still answers belongs to a router that runs; it is
  // not taken over, and this one ends.
  std::shared_ptr<xpc::Listener> ownerListener;
  std::shared_ptr<xpc::Listener> tokenListener;
  try {
    auto runtimeDirectory = paths.runtimeDirectory ? xpc::RuntimeDirectory::at(paths.runtimeDirectory->string())
                                                   : xpc::RuntimeDirectory::forCurrentUser();
    xpc::ContextOptions options;
    options.verifier = std::make_shared<CodeSigningPeerVerifier>(codeSigning);
    options.ioThreads = 1;
    context.emplace(std::move(runtimeDirectory), std::move(options));
    ownerListener = xpc::Listener::forService(*context, TokenPeerIdentity::registrationServiceName(teamID));
    tokenListener = xpc::Listener::forService(*context, TokenPeerIdentity::directoryServiceName(teamID));
  } catch (const std::exception&) {
    return routerExitConfiguration;
  }

  try {
    if (!ownerListener->setConnectionCodeSigningRequirement(
            TokenPeerIdentity::requirement(teamID, TokenPeerIdentity::ownerID)) ||
        !tokenListener->setConnectionCodeSigningRequirement(
            TokenPeerIdentity::requirement(teamID, TokenPeerIdentity::driverID))) {
      return routerExitConfiguration;
    }
  } catch (const TokenFailure&) {
    return routerExitConfiguration;
  }

  ownerListener->setDelegate(registration);
  tokenListener->setDelegate(directory);
  ownerListener->resume();
  tokenListener->resume();

  assert(::gettid() == ::getpid());
  boost::asio::io_context runLoop;
  const auto keepRunning = boost::asio::make_work_guard(runLoop);
  runLoop.run();
  return 0;
}

}  // namespace corvanta

// The router of the road tests: the registration and directory services over one endpoint store,
// with the production peer checks, until its standard input closes. Argument: the runtime
// directory. Prints "ready" once both services listen, or "failed" and exits 1.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_endpoint_store.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_rendezvous.hpp"

#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>
#include <string>

namespace {

using namespace corvanta;
namespace xpc = platform::xpc;

std::shared_ptr<xpc::Listener> serve(xpc::Context& context, const std::string& name, std::string_view peerIdentifier,
                                     const std::string& team, const std::shared_ptr<TokenRendezvous>& delegate) {
  auto listener = xpc::Listener::forService(context, name);
  if (!listener->setConnectionCodeSigningRequirement(TokenPeerIdentity::requirement(team, peerIdentifier))) {
    throw std::runtime_error("requirement refused");
  }
  listener->setDelegate(delegate);
  listener->resume();
  return listener;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    const auto codeSigning = std::make_shared<platform::codesign::SystemCodeSigning>();
    const auto team = TokenPeerIdentity::currentTeamID(*codeSigning);
    xpc::Context context(xpc::RuntimeDirectory::at(argv[1]),
                         xpc::ContextOptions{std::make_shared<CodeSigningPeerVerifier>(codeSigning)});
    const auto store = std::make_shared<TokenEndpointStore>();
    const auto registration = TokenRendezvous::make(store, TokenRendezvous::Mode::registration);
    const auto directory = TokenRendezvous::make(store, TokenRendezvous::Mode::directory);
    const auto owners = serve(context, TokenPeerIdentity::registrationServiceName(team), TokenPeerIdentity::ownerID,
                              team, registration);
    const auto drivers = serve(context, TokenPeerIdentity::directoryServiceName(team), TokenPeerIdentity::driverID,
                               team, directory);
    std::cout << "ready" << std::endl;
    char ignored;
    while (::read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    owners->invalidate();
    drivers->invalidate();
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed " << error.what() << std::endl;
    return 1;
  }
}

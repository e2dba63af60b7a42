// CorvantaToken: the token extension that the token host starts for the driver
// "ro.corvanta.sign.development.Token" (named in the driver manifest this target installs). It
// serves the host on the descriptor the host handed it, reads no arguments and no environment, and
// reaches the app through the router in the user's runtime directory, starting the router when it
// is registered but not running.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/servicemanagement/on_demand_launcher.hpp"
#include "platform/servicemanagement/service_paths.hpp"
#include "platform/tokenkit/extension/extension_main.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-extension/make_production_token_driver.hpp"
#include "token-support/code_signing_peer_verifier.hpp"

#include <exception>
#include <memory>
#include <utility>

int main() {
  namespace xpc = platform::xpc;
  try {
    const auto codeSigning = std::make_shared<const platform::codesign::SystemCodeSigning>();
    xpc::ContextOptions options{std::make_shared<corvanta::CodeSigningPeerVerifier>(codeSigning)};
    options.launcher = std::make_shared<platform::servicemanagement::OnDemandLauncher>(
        platform::servicemanagement::ServicePaths::forCurrentUser().stateDirectory);
    // Declared before the driver is made, so that it outlives every session connection over it.
    xpc::Context context(xpc::RuntimeDirectory::forCurrentUser(), std::move(options));
    return platform::tokenkit::extensionMain(
        [&context, &codeSigning] { return corvanta::makeProductionTokenDriver(context, *codeSigning); });
  } catch (const std::exception&) {
    // No runtime directory to reach the app through, or no user to keep agents for: the host sees
    // the extension end and answers its clients communicationError.
    return 1;
  }
}

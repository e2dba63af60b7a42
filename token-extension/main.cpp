// CorvantaToken: the token extension that the token host starts for the driver
// "ro.corvanta.sign.development.Token" (named in the driver manifest this target installs). It
// serves the host on the descriptor the host handed it, reads no arguments and no environment, and
// reaches the app through the router in the user's runtime directory.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/tokenkit/extension/extension_main.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-extension/make_production_token_driver.hpp"
#include "token-support/code_signing_peer_verifier.hpp"

#include <exception>
#include <memory>

int main() {
  namespace xpc = platform::xpc;
  try {
    const auto codeSigning = std::make_shared<const platform::codesign::SystemCodeSigning>();
    // Declared before the driver is made, so that it outlives every session connection over it.
    xpc::Context context(xpc::RuntimeDirectory::forCurrentUser(),
                         xpc::ContextOptions{std::make_shared<corvanta::CodeSigningPeerVerifier>(codeSigning)});
    return platform::tokenkit::extensionMain(
        [&context, &codeSigning] { return corvanta::makeProductionTokenDriver(context, *codeSigning); });
  } catch (const std::exception&) {
    // No runtime directory to reach the app through: the host sees the extension end and answers
    // its clients communicationError.
    return 1;
  }
}

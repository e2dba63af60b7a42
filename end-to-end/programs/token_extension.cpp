// The token extension of the end-to-end tests: the production driver served to the token host,
// over the runtime directory of the test. The host starts a driver's executable with no
// arguments, so the tests name a script as the driver's executable whose interpreter line starts
// this program with the directory: it is started as `token_extension DIRECTORY SCRIPT`, and the
// kernel sees this program, with its identity record, as the process.
#include "platform/codesign/system_code_signing.hpp"
#include "platform/tokenkit/extension/extension_main.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-extension/make_production_token_driver.hpp"
#include "token-support/code_signing_peer_verifier.hpp"

#include <memory>

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  const auto codeSigning = std::make_shared<platform::codesign::SystemCodeSigning>();
  platform::xpc::Context context(
      platform::xpc::RuntimeDirectory::at(argv[1]),
      platform::xpc::ContextOptions{std::make_shared<corvanta::CodeSigningPeerVerifier>(codeSigning)});
  return platform::tokenkit::extensionMain(
      [&] { return corvanta::makeProductionTokenDriver(context, *codeSigning); });
}

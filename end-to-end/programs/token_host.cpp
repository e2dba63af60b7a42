// The token host of the end-to-end tests: the host's own entry over the places of the test.
// Arguments: the runtime directory, the token store, the driver manifests and the pinentry
// program. Ends on SIGTERM.
#include "platform/tokenkit/prompt/pinentry_prompt.hpp"
#include "tools/ctk-hostd/token_host_daemon.hpp"

#include <string>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  corvanta::ctkhostd::prepareProcessSignals();
  const corvanta::ctkhostd::TokenHostPaths paths{argv[2], argv[3], std::string(argv[1]), argv[4]};
  return corvanta::ctkhostd::runTokenHost(paths, platform::tokenkit::environmentFromEntries(environ));
}

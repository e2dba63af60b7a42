// ctk-hostd: the user's token host. It serves the token configurations the app publishes to the
// user's client programs, starting each driver's token extension as needed and asking the user for
// codes through pinentry. It reads no arguments.
#include "platform/tokenkit/prompt/pinentry_prompt.hpp"
#include "tools/ctk-hostd/token_host_daemon.hpp"

extern char** environ;

int main() {
  corvanta::ctkhostd::prepareProcessSignals();
  return corvanta::ctkhostd::runTokenHost(corvanta::ctkhostd::TokenHostPaths::standard(),
                                          platform::tokenkit::environmentFromEntries(environ));
}

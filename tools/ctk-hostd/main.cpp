// ctk-hostd: the user's token host. It serves the token configurations the app publishes to the
// user's client programs, starting each driver's token extension as needed and asking the user for
// codes through pinentry. It reads no arguments.
#include "platform/tokenkit/prompt/pinentry_prompt.hpp"
#include "tools/ctk-hostd/token_host_daemon.hpp"

#include <signal.h>

extern char** environ;

int main() {
  // Before any thread exists, so that none of them takes the signals the host waits for.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client or pinentry that goes away must not end the host as it writes to it.
  ::signal(SIGPIPE, SIG_IGN);
  return corvanta::ctkhostd::runTokenHost(corvanta::ctkhostd::TokenHostPaths::standard(),
                                          platform::tokenkit::environmentFromEntries(environ));
}

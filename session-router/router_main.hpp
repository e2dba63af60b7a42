#pragma once

#include "platform/codesign/code_signing.hpp"
#include "session-router/router_paths.hpp"

#include <memory>

namespace corvanta {

// The router's exit statuses (sysexits): an installation is in progress, nothing was done; the
// router's own identity, a peer requirement or a listener could not be set up.
inline constexpr int routerExitInstalling = 75;
inline constexpr int routerExitConfiguration = 78;

// The router: refuses to start during an installation, reads its own team identifier, opens the
// registration service (for the app) and the directory service (for the extension) over one
// endpoint store, each open only to its one peer, and then runs for the rest of the process's
// life. Returns an exit status; 0 only if the run loop ever ended. Writes nothing anywhere but
// its two sockets. Must be called on the process's main thread.
int routerMain(const RouterPaths& paths, std::shared_ptr<const platform::codesign::CodeSigning> codeSigning);

}  // namespace corvanta

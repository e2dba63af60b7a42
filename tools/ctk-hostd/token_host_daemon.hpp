#pragma once

#include "platform/tokenkit/prompt/pinentry_prompt.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace corvanta::ctkhostd {

// Where the token host finds what it serves and where it serves it. The program uses standard();
// tests give places of their own.
struct TokenHostPaths {
  // The token configurations the app publishes.
  std::filesystem::path store;
  // The installed drivers' manifests, which name the extension that serves each.
  std::filesystem::path driverManifests;
  // Where the host's socket is made; none for the user's runtime directory.
  std::optional<std::string> runtimeDirectory;
  // The program that asks the user for a code.
  std::filesystem::path pinentryProgram;

  static TokenHostPaths standard();
};

inline constexpr int exitStopped = 0;
// Another host already serves the user, or the host's socket or store could not be set up.
inline constexpr int exitSetupFailed = 1;

// Blocks SIGTERM and SIGINT, which runTokenHost takes from a signal descriptor, and ignores
// SIGPIPE, so that a client or pinentry that goes away cannot end the host as it writes to it.
// Call it before any thread exists, so that every thread inherits the mask.
void prepareProcessSignals();

// Serves the user's client programs until SIGTERM or SIGINT arrives, ending every token whose
// configuration was withdrawn or changed as soon as the store says so. The caller has called
// prepareProcessSignals().
// `environment` is the caller's, from which the pinentry gets what reaches the user's display.
int runTokenHost(const TokenHostPaths& paths, const platform::tokenkit::PinentryEnvironment& environment);

}  // namespace corvanta::ctkhostd

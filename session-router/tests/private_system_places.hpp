#pragma once

namespace corvanta::testing {

// The router program reads no arguments and no environment: it finds its installation marker
// (under /run) and its runtime directory (/run/user/<euid>) where the system keeps them. So that
// tests can run that very program without touching the machine's places, the test process can
// give itself and its children a mount namespace of their own with an empty /run that holds only
// /run/user/<euid>; it goes with the last process in it.
//
// Enters it; only while the process has one thread, so main() calls it first. False where the
// system lets no process have such a namespace (then the process sees the machine's /run).
bool enterPrivateSystemPlaces();

// Whether this process entered them.
bool havePrivateSystemPlaces();

}  // namespace corvanta::testing

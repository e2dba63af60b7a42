// The router as the tests start it: the same entry as CorvantaSessionRouter, with the installation
// marker and the runtime directory given as its two arguments instead of the system's.
#include "platform/codesign/system_code_signing.hpp"
#include "session-router/router_main.hpp"

#include <memory>

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  return corvanta::routerMain(corvanta::RouterPaths{argv[1], std::filesystem::path(argv[2])},
                              std::make_shared<const platform::codesign::SystemCodeSigning>());
}

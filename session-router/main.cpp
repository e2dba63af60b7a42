// CorvantaSessionRouter: the per-user agent through which the token extension finds the running
// app. It reads no arguments and no environment.
#include "platform/codesign/system_code_signing.hpp"
#include "session-router/router_main.hpp"

#include <memory>

int main() {
  return corvanta::routerMain(corvanta::RouterPaths::standard(),
                              std::make_shared<const platform::codesign::SystemCodeSigning>());
}

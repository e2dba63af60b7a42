#pragma once

#include "platform/codesign/code_signing.hpp"
#include "platform/xpc/context.hpp"
#include "token-extension/corvanta_token_driver.hpp"

#include <memory>

namespace corvanta {

// The driver the extension executable serves: every token session reaches the app through a
// session connection of its own over `context`, on the machine's clocks. The context and the code
// signing must outlive the driver and everything it made.
std::shared_ptr<CorvantaTokenDriver> makeProductionTokenDriver(platform::xpc::Context& context,
                                                               const platform::codesign::CodeSigning& codeSigning);

}  // namespace corvanta

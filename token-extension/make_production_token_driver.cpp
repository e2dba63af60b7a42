#include "token-extension/make_production_token_driver.hpp"

#include "token-support/token_session_connection.hpp"

namespace corvanta {

std::shared_ptr<CorvantaTokenDriver> makeProductionTokenDriver(platform::xpc::Context& context,
                                                               const platform::codesign::CodeSigning& codeSigning) {
  const TokenExtensionClocks clocks;
  return CorvantaTokenDriver::create(
      [&context, &codeSigning, ticks = clocks.ticks, continuous = clocks.continuous] {
        return std::make_shared<TokenSessionConnection>(context, codeSigning, *ticks, *continuous);
      },
      clocks);
}

}  // namespace corvanta

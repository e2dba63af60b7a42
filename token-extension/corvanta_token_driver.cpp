#include "token-extension/corvanta_token_driver.hpp"

#include "token-extension/corvanta_token.hpp"
#include "token-extension/make_token_error.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"

#include <exception>
#include <optional>
#include <utility>

namespace corvanta {

using platform::tokenkit::Result;
using platform::tokenkit::Token;

std::shared_ptr<CorvantaTokenDriver> CorvantaTokenDriver::create(TransportFactory makeTransport,
                                                                 TokenExtensionClocks clocks) {
  return std::make_shared<CorvantaTokenDriver>(ConstructionKey{}, std::move(makeTransport), std::move(clocks));
}

CorvantaTokenDriver::CorvantaTokenDriver(ConstructionKey, TransportFactory makeTransport, TokenExtensionClocks clocks)
    : makeTransport_(std::move(makeTransport)), clocks_(std::move(clocks)) {}

Result<std::shared_ptr<Token>> CorvantaTokenDriver::tokenForConfiguration(
    const platform::tokenkit::TokenConfigurationSnapshot& configuration) {
  if (!configuration.configurationData) return makeTokenError(TokenFailure::invalidConfiguration);
  std::optional<TokenIdentity> identity;
  try {
    identity = TokenIdentity::decode(*configuration.configurationData, clocks_.date());
  } catch (...) {
    return makeTokenError(std::current_exception());
  }
  // The host names the token by the instance identifier; data of another certificate under it would
  // let one certificate's configuration stand for another.
  if (configuration.instanceID != identity->instanceID()) return makeTokenError(TokenFailure::invalidConfiguration);
  std::shared_ptr<Token> token =
      std::make_shared<CorvantaToken>(CorvantaToken::MadeByDriver{}, shared_from_this(), std::move(*identity));
  return token;
}

void CorvantaTokenDriver::terminateToken(const std::shared_ptr<Token>& token) {
  if (const auto ours = std::dynamic_pointer_cast<CorvantaToken>(token)) ours->terminate();
}

}  // namespace corvanta

#pragma once

#include "platform/tokenkit/token_driver.hpp"
#include "token-extension/token_extension_clocks.hpp"
#include "token-support/token_signing_transport.hpp"

#include <functional>
#include <memory>

namespace corvanta {

// The extension's token driver: it rebuilds a token from every configuration the app published and
// ends the token when the host terminates it. It keeps no token of its own; the host owns them.
class CorvantaTokenDriver final : public platform::tokenkit::TokenDriver,
                                  public std::enable_shared_from_this<CorvantaTokenDriver> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

public:
  // The road to the app for one token session; called once per session, never returns null. Outside
  // tests it makes a new session connection.
  using TransportFactory = std::function<std::shared_ptr<TokenSigningTransport>()>;

  // Tokens hold their driver, so a driver is always shared.
  static std::shared_ptr<CorvantaTokenDriver> create(TransportFactory makeTransport,
                                                     TokenExtensionClocks clocks = TokenExtensionClocks{});

  CorvantaTokenDriver(ConstructionKey, TransportFactory makeTransport, TokenExtensionClocks clocks);

  // A token for a configuration whose data is the identity of the certificate its instance
  // identifier names. Refused with the token error of TokenFailure::invalidConfiguration when there
  // is no data or the instance identifier is another certificate's, and with the error of whatever
  // decoding or validating the identity at the current date threw.
  platform::tokenkit::Result<std::shared_ptr<platform::tokenkit::Token>> tokenForConfiguration(
      const platform::tokenkit::TokenConfigurationSnapshot& configuration) override;

  // A token of this driver creates no session from now on, and every session it created answers
  // unavailable, also to an approval under way. Any other token is left alone.
  void terminateToken(const std::shared_ptr<platform::tokenkit::Token>& token) override;

  std::shared_ptr<TokenSigningTransport> makeTransport() const { return makeTransport_(); }
  const TokenExtensionClocks& clocks() const { return clocks_; }

private:
  TransportFactory makeTransport_;
  TokenExtensionClocks clocks_;
};

}  // namespace corvanta

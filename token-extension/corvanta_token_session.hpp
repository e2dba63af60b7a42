#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-extension/token_approval_gate.hpp"
#include "token-extension/token_extension_clocks.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_signing_transport.hpp"

#include <memory>
#include <optional>

namespace corvanta {

class CorvantaToken;

// The first of the six algorithms, in their fixed order, whose platform algorithm the client's
// algorithm names; none when it names none of them.
std::optional<SigningAlgorithm> matchSigningAlgorithm(const platform::tokenkit::KeyAlgorithm& algorithm);

// What a client signs with: only signing, only with the published key and only with the six
// algorithms. Every sign call goes through the session's approval gate; when the gate wants an
// approval, the session hands the host a one-signature operation whose password is the one-time
// code. The session's own fields never change; all that does is in the gate.
class CorvantaTokenSession final : public platform::tokenkit::TokenSession {
public:
  CorvantaTokenSession(std::shared_ptr<CorvantaToken> token, TokenIdentity identity,
                       std::shared_ptr<TokenSigningTransport> transport,
                       TokenExtensionClocks clocks = TokenExtensionClocks{});

  // True only for signing with the published key, by one of the six algorithms, while the
  // certificate is valid at the current date and its key can sign by that algorithm.
  bool supports(platform::tokenkit::Operation operation, const platform::tokenkit::ObjectID& key,
                const platform::tokenkit::KeyAlgorithm& algorithm) override;

  // The gate's answer for the digest: authenticationNeeded first, the approved signature once the
  // approval completed. A key identifier that is not a text or an algorithm that is none of the six
  // is notImplemented.
  platform::tokenkit::Result<platform::Bytes> signData(const platform::Bytes& data,
                                                       const platform::tokenkit::ObjectID& key,
                                                       const platform::tokenkit::KeyAlgorithm& algorithm) override;

  // The operation that completes the open approval; a plain one with nothing to ask when no
  // approval awaits its code (the host then repeats the sign call). Anything but signing under the
  // identity's approval constraint is notImplemented.
  platform::tokenkit::Result<std::unique_ptr<platform::tokenkit::AuthOperation>> beginAuth(
      platform::tokenkit::Operation operation, const platform::tokenkit::Constraint& constraint) override;

  const std::shared_ptr<TokenApprovalGate>& gate() const { return gate_; }
  const TokenIdentity& identity() const { return identity_; }

private:
  const std::shared_ptr<TokenApprovalGate> gate_;
  const TokenIdentity identity_;
  const std::shared_ptr<TokenSigningTransport> transport_;
  const TokenExtensionClocks clocks_;
};

}  // namespace corvanta

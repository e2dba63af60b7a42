// The app of the road tests: a signing owner over a signer that signs with the certificate's key at
// once, served to the extension by the companion bridge, until its standard input closes.
// Arguments: the runtime directory, how the signer behaves: "signs", or "quits" (the app exits
// the moment the service would be asked, with a request in flight), and optionally a token store's
// directory into which it publishes the identity as the token of the installed driver.
// Prints "identity <JSON>" for the activated identity, then "registered" or "refused <failure>".
#include "connection/certificate/certificate_profile.hpp"
#include "connection/certificate/public_certificate.hpp"
#include "connection/service/remote_signature.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/testing/await_on.hpp"
#include "platform/security/testing/test_key.hpp"
#include "platform/tokenkit/file_token_kit.hpp"
#include "sign-core/signing_request.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/tests/road/companion_stand_in.hpp"
#include "token-support/token_publication.hpp"
#include "token-support/token_remote_signer.hpp"
#include "token-support/token_signing_owner.hpp"


#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace corvanta;
namespace asio = boost::asio;
using platform::runtime::testing::awaitOn;
using platform::security::testing::TestKey;

class RoadSigner final : public TokenRemoteSigner {
public:
  RoadSigner(const TestKey& key, bool quits) : key_(key), quits_(quits) {}

  asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string) override {
    if (quits_) std::_Exit(0);
    co_return RemoteSignature{key_.sign(request.algorithm().securityAlgorithm(), request.digest()), true};
  }

private:
  const TestKey& key_;
  bool quits_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::string_view behaviour = argv[2];
  if (behaviour != "signs" && behaviour != "quits") return 2;
  try {
    const TestKey key = TestKey::ec(platform::security::testing::Curve::p256);
    platform::runtime::Runtime runtime(platform::runtime::RuntimeOptions{.ioThreads = 2, .blockingThreads = 1});
    const auto owner =
        std::make_shared<TokenSigningOwner>(runtime.io(), std::make_shared<RoadSigner>(key, behaviour == "quits"));
    const auto der = key.selfSignedCertificate({});
    const auto identity = awaitOn(
        runtime.io(), owner->activate(PublicCertificate("certificate-1", "document_signing", der, "",
                                                        CertificateProfile(der)),
                                      "account-1", "role-1"));
    if (argc == 4) {
      platform::tokenkit::FileTokenKit kit(argv[3]);
      kit.installDriver(std::string(TokenPeerIdentity::driverID));
      TokenPublication::publish(kit, identity);
    }
    const auto json = identity.encodedJSON();
    std::cout << "identity " << std::string(json.begin(), json.end()) << std::endl;

    const corvanta::testing::CompanionStandIn companion(owner, argv[1]);
    char ignored;
    while (::read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed " << error.what() << std::endl;
    return 1;
  }
}

// The app of the end-to-end tests: signed in at a stand-in of the service over HTTPS on 127.0.0.1,
// its certificate activated in the signing owner over the real remote signer, published as the
// token of the store given, and served to the token extension by the companion bridge registered
// at the router.
//
// Arguments: the runtime directory, the token store's directory and how many seconds the remote
// signer waits for the service's answer to a signature. It prints, one line each,
// "identity <JSON>", "certificate <DER in hex>", then "registered" or "refused <failure>", and
// then serves until its standard input closes, taking one command per line, each answered by a
// line of its own:
//   accept <code>   the service accepts this one-time code for the next signature   → "accepted"
//   stall           the service's next answer to a signature never comes             → "stalling"
//   withdraw        the certificate is withdrawn as the app does it: the owner no longer signs
//                   (a request in flight ends) and the token leaves the store       → "withdrawn"
//   quit            the app ends at once, whatever is in flight                       (no answer)
//   signatures      how many signature requests the service received               → "signatures <n>"
//   activity        the owner's counters: "activity <accepted> <verified> <last status or none>"
#include "connection/certificate/certificate_profile.hpp"
#include "connection/certificate/public_certificate.hpp"
#include "connection/service/remote_signer.hpp"
#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "connection/testing/stand_in_transport.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/testing/await_on.hpp"
#include "platform/security/testing/test_key.hpp"
#include "platform/tokenkit/file_token_kit.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/tests/road/companion_stand_in.hpp"
#include "token-support/token_publication.hpp"
#include "token-support/token_remote_signer.hpp"
#include "token-support/token_signing_owner.hpp"

#include <boost/url/parse.hpp>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

namespace {

using namespace corvanta;
namespace asio = boost::asio;
using platform::runtime::testing::awaitOn;
using corvanta::testing::StandInService;
using corvanta::testing::StandInTransport;

// The sign-in the browser would have completed: the provider is told the code and the attempt's
// challenge, and the redirect brings the code back.
void signIn(const asio::any_io_executor& executor, OAuthSession& session, StandInService& service) {
  const std::string code = "end-to-end-code";
  const auto attempt = awaitOn(executor, session.beginSignIn());
  service.authorize({code, StandInService::codeChallenge(attempt.verifier())});
  const std::string callback = "http://localhost:53682/callback?state=" + attempt.state() + "&iss=" +
                               platform::foundation::percentEncodedUnreserved(CorvantaEndpoints::issuer()) +
                               "&code=" + code;
  awaitOn(executor, session.completeSignIn(attempt.id(), boost::urls::url(boost::urls::parse_uri(callback).value())));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  try {
    platform::runtime::Runtime runtime(platform::runtime::RuntimeOptions{.ioThreads = 2, .blockingThreads = 1});
    const auto executor = runtime.io();
    StandInService service(platform::security::testing::TestKey::ec(platform::security::testing::Curve::p256));
    const auto oauth = std::make_shared<OAuthSession>(executor, std::make_shared<StandInTransport>(service, std::chrono::seconds(45)));
    signIn(executor, *oauth, service);
    const auto account = service.account();
    awaitOn(executor, oauth->bindAccount(account.sub, awaitOn(executor, oauth->authorization())));
    const auto remote = std::make_shared<RemoteSigner>(
        executor, oauth, std::make_shared<StandInTransport>(service, std::chrono::seconds(std::stoi(argv[3]))));
    const auto owner = std::make_shared<TokenSigningOwner>(executor, TokenRemoteSigner::over(remote));

    const auto& role = account.roles.at(0);
    const auto& listed = role.certificates.at(0);
    const auto identity = awaitOn(
        executor, owner->activate(PublicCertificate(listed.certificateUuid, listed.usage, listed.der, "",
                                                    CertificateProfile(listed.der)),
                                  account.sub, role.roleUuid));
    platform::tokenkit::FileTokenKit kit(argv[2]);
    // What installing the token extension does; the app only publishes into an installed driver.
    kit.installDriver(std::string(TokenPeerIdentity::driverID));
    TokenPublication::publish(kit, identity);
    const auto json = identity.encodedJSON();
    std::cout << "identity " << std::string(json.begin(), json.end()) << std::endl;
    std::cout << "certificate " << platform::foundation::lowercaseHex(identity.certificateDER()) << std::endl;

    const corvanta::testing::CompanionStandIn companion(owner, argv[1]);

    std::string command;
    while (std::getline(std::cin, command)) {
      if (command.starts_with("accept ")) {
        service.acceptOneTimeCode(command.substr(7));
        std::cout << "accepted" << std::endl;
      } else if (command == "stall") {
        service.answer(StandInService::signHashPath, StandInService::Reply::stall());
        std::cout << "stalling" << std::endl;
      } else if (command == "withdraw") {
        awaitOn(executor, owner->invalidate());
        TokenPublication::remove(kit, identity.activationID());
        std::cout << "withdrawn" << std::endl;
      } else if (command == "quit") {
        std::_Exit(0);
      } else if (command == "activity") {
        const auto activity = awaitOn(executor, owner->activity());
        std::cout << "activity " << activity.acceptedRequests << " " << activity.verifiedSignatures << " "
                  << (activity.lastResult ? std::to_string(activity.lastResult->rawValue()) : "none") << std::endl;
      } else if (command == "signatures") {
        std::cout << "signatures " << service.requests(StandInService::signHashPath).size() << std::endl;
      } else {
        std::cout << "unknown " << command << std::endl;
      }
    }
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed " << error.what() << std::endl;
    return 1;
  }
}

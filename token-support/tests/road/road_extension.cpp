// The extension of the road tests: one signature through the router and the app, as the token
// session asks for it. Arguments: the runtime directory, the identity's JSON as the app published
// it, and the digest in hexadecimal. Prints "signature <hex>" or "failure <failure>".
#include "platform/codesign/system_code_signing.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_session_connection.hpp"
#include "token-support/token_sign_request.hpp"

#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
  using namespace corvanta;
  namespace xpc = platform::xpc;
  if (argc != 4) return 2;
  try {
    const std::string_view json = argv[2];
    const auto identity = TokenIdentity::decode(platform::bytesOf(json));
    const auto digest = platform::foundation::hexDecoded(argv[3]);
    if (!digest) return 2;
    const auto request = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, *digest);

    const auto codeSigning = std::make_shared<platform::codesign::SystemCodeSigning>();
    xpc::Context context(xpc::RuntimeDirectory::at(argv[1]),
                         xpc::ContextOptions{std::make_shared<CodeSigningPeerVerifier>(codeSigning)});
    TokenSessionConnection connection(context, *codeSigning);
    try {
      const auto signature = connection.sign(request, "482913", std::chrono::seconds(60));
      std::cout << "signature " << platform::foundation::lowercaseHex(signature) << std::endl;
    } catch (const TokenFailure& failure) {
      std::cout << "failure " << failure.what() << std::endl;
    }
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed " << error.what() << std::endl;
    return 1;
  }
}

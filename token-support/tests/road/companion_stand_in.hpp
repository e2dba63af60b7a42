#pragma once

#include "platform/codesign/system_code_signing.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_companion_bridge.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_signing_owner.hpp"

#include <iostream>
#include <memory>
#include <string>

namespace corvanta::testing {

// The app's end of the local road in a program that stands for the app: the companion bridge over
// the owner, on a context with the production peer checks in the runtime directory, started at
// once. It prints "registered", or "refused" and the failure's text, for the test that reads the
// program's output, and stops the bridge when it ends.
class CompanionStandIn {
public:
  CompanionStandIn(std::shared_ptr<TokenSigningOwner> owner, const std::string& runtimeDirectory)
      : context_(platform::xpc::RuntimeDirectory::at(runtimeDirectory),
                 platform::xpc::ContextOptions{std::make_shared<CodeSigningPeerVerifier>(codeSigning_)}),
        bridge_(std::make_shared<TokenCompanionBridge>(std::move(owner), context_, codeSigning_)) {
    try {
      bridge_->start();
      std::cout << "registered" << std::endl;
    } catch (const TokenFailure& failure) {
      std::cout << "refused " << failure.what() << std::endl;
    }
  }
  ~CompanionStandIn() { bridge_->stop(); }
  CompanionStandIn(const CompanionStandIn&) = delete;
  CompanionStandIn& operator=(const CompanionStandIn&) = delete;

private:
  std::shared_ptr<platform::codesign::SystemCodeSigning> codeSigning_ =
      std::make_shared<platform::codesign::SystemCodeSigning>();
  platform::xpc::Context context_;
  std::shared_ptr<TokenCompanionBridge> bridge_;
};

}  // namespace corvanta::testing

#pragma once

#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "token-extension/token_approval_gate.hpp"
#include "token-support/token_signing_transport.hpp"

#include <atomic>
#include <memory>

namespace corvanta {

// The authentication that approves one signature: the host asks the user for the one-time code,
// sets it as the password and finishes; finishing submits the code, has the app sign the request
// and stores the verified signature in the gate, where the host's next sign call finds it. One code
// approves exactly one signature, and nothing is ever sent twice.
//
// The host may finish from several threads; the password is set by the thread that finishes next.
class OneSignatureAuthOperation final : public platform::tokenkit::PasswordAuthOperation {
public:
  OneSignatureAuthOperation(std::shared_ptr<TokenApprovalGate> gate, platform::foundation::UUID approvalID,
                            std::shared_ptr<TokenSigningTransport> transport,
                            const platform::runtime::ContinuousClock& clock);
  // An operation released before it stored a signature closes its approval (a prompt the user
  // cancelled, or one the host dropped); a stored signature stays for the next sign call.
  ~OneSignatureAuthOperation() override;

  OneSignatureAuthOperation(const OneSignatureAuthOperation&) = delete;
  OneSignatureAuthOperation& operator=(const OneSignatureAuthOperation&) = delete;

  // Blocks for the round trip to the app, at most the time left in the approval. The password is
  // gone afterwards whatever the outcome, and the code is wiped once handed on. A failure closes
  // the approval and answers its token error. Only the first finish acts: any later one answers
  // the error of TokenFailure::noPendingRequest and leaves the gate alone, so that it cannot throw
  // away a signature the service already made, also while the first one still waits for the app.
  platform::tokenkit::Result<void> finish() override;

  const platform::foundation::UUID& approvalID() const { return approvalID_; }
  bool isFinished() const { return finished_.load(); }

private:
  const std::shared_ptr<TokenApprovalGate> gate_;
  const platform::foundation::UUID approvalID_;
  const std::shared_ptr<TokenSigningTransport> transport_;
  const platform::runtime::ContinuousClock* clock_;
  std::atomic<bool> attempted_{false};
  std::atomic<bool> finished_{false};
};

}  // namespace corvanta

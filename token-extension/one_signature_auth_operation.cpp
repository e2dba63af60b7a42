#include "token-extension/one_signature_auth_operation.hpp"

#include "platform/security/secret_memory.hpp"
#include "token-extension/make_token_error.hpp"
#include "token-support/token_failure.hpp"

#include <exception>
#include <string>
#include <utility>

namespace corvanta {

namespace {

// Wipes the code however the submission leaves its scope, also when the transport throws.
class WipedOnExit {
public:
  explicit WipedOnExit(std::string& secret) : secret_(secret) {}
  ~WipedOnExit() { platform::security::wipeSecret(secret_); }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

private:
  std::string& secret_;
};

}  // namespace

OneSignatureAuthOperation::OneSignatureAuthOperation(std::shared_ptr<TokenApprovalGate> gate,
                                                     platform::foundation::UUID approvalID,
                                                     std::shared_ptr<TokenSigningTransport> transport,
                                                     const platform::runtime::ContinuousClock& clock)
    : gate_(std::move(gate)), approvalID_(approvalID), transport_(std::move(transport)), clock_(&clock) {}

OneSignatureAuthOperation::~OneSignatureAuthOperation() {
  if (!finished_) gate_->cancel(approvalID_);
  if (password) platform::security::wipeSecret(*password);
}

platform::tokenkit::Result<void> OneSignatureAuthOperation::finish() {
  // The code leaves the operation at once, so that it stays in no field whatever follows.
  std::string code;
  if (password) {
    code = *password;
    platform::security::wipeSecret(*password);
    password.reset();
  }
  const WipedOnExit wipeCode(code);

  // Only the first finish talks to the gate. A later one would find the approval completed or gone
  // and its cancel would close whatever is there: the signature the service already made (and
  // counted) for this very approval, which the host is about to collect.
  if (attempted_.exchange(true)) return makeTokenError(TokenFailure::noPendingRequest);

  try {
    const auto submission = gate_->beginSubmission(approvalID_, code, clock_->now());
    const auto signature = transport_->sign(submission.request, code, submission.timeLeft);
    platform::security::wipeSecret(code);
    gate_->complete(submission.request.requestID, signature, clock_->now());
  } catch (...) {
    gate_->cancel(approvalID_);
    return makeTokenError(std::current_exception());
  }
  finished_ = true;
  return {};
}

}  // namespace corvanta

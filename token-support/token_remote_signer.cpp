#include "token-support/token_remote_signer.hpp"

#include <stdexcept>
#include <utility>

namespace corvanta {

namespace {

class ServiceSigner final : public TokenRemoteSigner {
public:
  explicit ServiceSigner(std::shared_ptr<RemoteSigner> signer) : signer_(std::move(signer)) {}

  // RemoteSigner::sign runs on the signer's strand and forwards the caller's cancellation there.
  boost::asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string code) override {
    return signer_->sign(std::move(request), std::move(code));
  }

private:
  std::shared_ptr<RemoteSigner> signer_;
};

}  // namespace

std::shared_ptr<TokenRemoteSigner> TokenRemoteSigner::over(std::shared_ptr<RemoteSigner> signer) {
  if (!signer) {
    throw std::invalid_argument("no remote signer");
  }
  return std::make_shared<ServiceSigner>(std::move(signer));
}

}  // namespace corvanta

#pragma once

#include "connection/service/remote_signature.hpp"
#include "connection/service/remote_signer.hpp"
#include "sign-core/signing_request.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>

namespace corvanta {

// What the signing owner needs of the service signer: one call that has a prepared request signed
// under the user's code. The app hands the owner its RemoteSigner through over(); tests hand it a
// signer of their own.
//
// The owner runs each call in a task of its own and cancels that task when the identity changes.
// The cancellation reaches the call through its awaiting chain, and an implementation must pass
// it on to whatever it waits for (the network exchange in particular), or a withdrawn identity
// keeps the owner busy until the exchange ends by itself.
class TokenRemoteSigner {
public:
  virtual ~TokenRemoteSigner() = default;

  virtual boost::asio::awaitable<RemoteSignature> sign(SigningRequest request, std::string code) = 0;

  // The service signer itself, its errors and cancellation unchanged.
  static std::shared_ptr<TokenRemoteSigner> over(std::shared_ptr<RemoteSigner> signer);
};

}  // namespace corvanta

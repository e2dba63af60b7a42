#pragma once

#include "platform/xpc/connection.hpp"
#include "platform/xpc/value.hpp"
#include "token-support/token_signing_owner.hpp"

#include <memory>
#include <string>

namespace corvanta {

// What the app's anonymous listener exports to each extension connection: every
// "sign:oneTimeCode:reply:" becomes one call of the signing owner, in a task of its own that is
// bound to no actor, and the owner's outcome becomes the reply: the signature with status 0, or
// no data with the reply status of whatever the owner threw.
//
// There is no time limit here: the extension stops waiting when its request expires, and the task
// runs to its end even when the connection is gone (its reply is then lost). Every call is
// answered exactly once and every failure travels as a status; a task that is torn down before
// it ended (the runtime going away under it) answers uncertain, because the service may already
// have signed.
class TokenOwnerExport final : public platform::xpc::ExportedObject {
public:
  // All exports of a bridge share the app's one owner; its tasks run on the owner's executor.
  explicit TokenOwnerExport(std::shared_ptr<TokenSigningOwner> owner);

  // Returns at once; the reply is sent later, from the task.
  void invoke(const std::string& selector, platform::xpc::Values arguments, platform::xpc::Reply reply) override;

private:
  std::shared_ptr<TokenSigningOwner> owner_;
};

}  // namespace corvanta

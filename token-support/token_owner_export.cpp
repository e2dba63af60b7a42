#include "token-support/token_owner_export.hpp"

#include "platform/foundation/bytes.hpp"
#include "platform/runtime/task.hpp"
#include "token-support/token_owner_reply_status.hpp"
#include "token-support/token_protocols.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

namespace corvanta {

namespace {

using platform::Bytes;
using platform::xpc::Reply;
using platform::xpc::Value;

// The reply of one sign call, sent exactly once: by send(), or, when whoever holds it is
// destroyed first (a task torn down before it ended, a call that never got as far as the owner),
// with the uncertain status, since the service may have signed meanwhile. Left to the layer, a
// dropped reply would reach the extension as a transport error instead of a status.
class SignReply {
public:
  explicit SignReply(Reply reply) : reply_(std::move(reply)) {}
  SignReply(SignReply&& other) noexcept : reply_(std::exchange(other.reply_, std::nullopt)) {}
  SignReply& operator=(SignReply&&) = delete;
  SignReply(const SignReply&) = delete;
  SignReply& operator=(const SignReply&) = delete;
  ~SignReply() { send(std::monostate{}, TokenOwnerReplyStatus::uncertain); }

  void send(Value signature, TokenOwnerReplyStatus status) {
    if (!reply_) return;
    Reply reply = std::move(*reply_);
    reply_.reset();
    reply({std::move(signature), status.rawValue()});
  }

private:
  std::optional<Reply> reply_;
};

boost::asio::awaitable<void> serve(std::shared_ptr<TokenSigningOwner> owner, Bytes encoded, std::string code,
                                   SignReply reply) {
  std::optional<Bytes> signature;
  std::exception_ptr failure;
  try {
    auto signing = owner->sign(std::move(encoded), std::move(code));
    signature = co_await std::move(signing);
  } catch (...) {
    failure = std::current_exception();
  }
  if (signature) {
    reply.send(std::move(*signature), TokenOwnerReplyStatus::success);
  } else {
    reply.send(std::monostate{}, TokenOwnerReplyStatus::fromError(failure));
  }
}

}  // namespace

TokenOwnerExport::TokenOwnerExport(std::shared_ptr<TokenSigningOwner> owner) : owner_(std::move(owner)) {
  if (!owner_) throw std::invalid_argument("an owner export needs an owner");
}

void TokenOwnerExport::invoke(const std::string& selector, platform::xpc::Values arguments, Reply reply) {
  SignReply answer(std::move(reply));
  // The layer delivers only the exported method with its argument kinds; anything else is
  // answered as uncertain by the reply itself.
  if (selector != TokenSessionOwnerProtocol::signSelector || arguments.size() != 2) return;
  auto* encoded = std::get_if<Bytes>(&arguments[0]);
  auto* code = std::get_if<std::string>(&arguments[1]);
  if (encoded == nullptr || code == nullptr) return;
  platform::runtime::startTask(owner_->strand().get_inner_executor(),
                               serve(owner_, std::move(*encoded), std::move(*code), std::move(answer)));
}

}  // namespace corvanta

#include "platform/tokenkit/host/extension_proxy.hpp"

#include "platform/foundation/unique_fd.hpp"
#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/extension/message_channel.hpp"
#include "platform/tokenkit/host/extension_process.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <future>
#include <map>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::tokenkit {

namespace {

const Error communicationFailure{ErrorCode::communicationError};

}  // namespace

// One run of the extension process: its socket, the thread that reads its replies and the calls
// waiting for them.
class ExtensionProxy::Connection {
public:
  Connection(const std::filesystem::path& executable, std::uint64_t run) : run_(run) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
      throw std::system_error(errno, std::generic_category(), "socketpair");
    }
    socket_.reset(ends[0]);
    const foundation::UniqueFd extensionEnd(ends[1]);
    process_ = std::make_unique<ExtensionProcess>(executable, extensionEnd.get());
    // The extension end closes here, so that the extension's death is the socket's end.
    reader_ = std::thread([this] { readReplies(); });
  }

  ~Connection() {
    {
      const std::lock_guard lock(mutex_);
      closing_ = true;
    }
    ::shutdown(socket_.get(), SHUT_RDWR);
    reader_.join();
  }

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::uint64_t run() const { return run_; }

  bool ended() const {
    const std::lock_guard lock(mutex_);
    return ended_;
  }

  // The reply to the request, or communicationError when the connection ends first; badParameter
  // when the request does not fit a message.
  // Takes the request by reference so that a password in it is never copied by a move; it is wiped
  // here once encoded.
  Result<ExtensionReplyBody> call(ExtensionRequest& request) {
    const auto call = request.call();
    {
      const std::lock_guard lock(mutex_);
      if (ended_) {
        wipePassword(request);
        return communicationFailure;
      }
      request.id = ++lastRequest_;
    }
    auto message = encodeExtensionRequest(request);
    wipePassword(request);
    if (!message) return Error(ErrorCode::badParameter);

    std::future<std::optional<ExtensionReplyBody>> reply;
    {
      const std::lock_guard lock(mutex_);
      if (ended_) {
        wipeMessage(*message);
        return communicationFailure;
      }
      auto& pending = pending_[request.id];
      pending.call = call;
      reply = pending.reply.get_future();
    }
    const bool sent = sendPacket(socket_.get(), *message);
    wipeMessage(*message);
    if (!sent) {
      // The reader sees the end too and answers every call waiting, this one included.
      ::shutdown(socket_.get(), SHUT_RDWR);
    }
    auto body = reply.get();
    if (!body) return communicationFailure;
    return std::move(*body);
  }

  // For requests that carry no secret.
  Result<ExtensionReplyBody> callWith(ExtensionRequestBody body) {
    ExtensionRequest request{0, std::move(body)};
    return call(request);
  }

private:
  struct Pending {
    ExtensionCall call = ExtensionCall::terminateToken;
    std::promise<std::optional<ExtensionReplyBody>> reply;
  };

  static void wipePassword(ExtensionRequest& request) {
    if (auto* finish = std::get_if<extension_request::Finish>(&request.body); finish && finish->password) {
      security::wipeSecret(*finish->password);
      finish->password.reset();
    }
  }

  void readReplies() {
    for (;;) {
      auto packet = receivePacket(socket_.get(), maximumExtensionMessageSize);
      if (packet.status != ReceivedPacket::Status::message) break;
      auto reply = decodeExtensionReply(packet.bytes);
      if (!reply) break;
      std::optional<std::promise<std::optional<ExtensionReplyBody>>> waiting;
      {
        const std::lock_guard lock(mutex_);
        const auto found = pending_.find(reply->id);
        // A reply to nothing asked, or of another call's shape, is as false as a broken message.
        if (found == pending_.end() || found->second.call != reply->call) break;
        waiting.emplace(std::move(found->second.reply));
        pending_.erase(found);
      }
      waiting->set_value(std::move(reply->body));
    }
    std::map<std::uint64_t, Pending> abandoned;
    bool closing = false;
    {
      const std::lock_guard lock(mutex_);
      ended_ = true;
      closing = closing_;
      abandoned.swap(pending_);
    }
    ::shutdown(socket_.get(), SHUT_RDWR);
    for (auto& [id, pending] : abandoned) pending.reply.set_value(std::nullopt);
    // An extension the host closed gets a moment to end by itself; one that died, broke the
    // protocol or closed its end is ended now.
    process_->end(closing ? closingGrace : std::chrono::milliseconds(0));
  }

  const std::uint64_t run_;
  foundation::UniqueFd socket_;
  std::unique_ptr<ExtensionProcess> process_;
  std::thread reader_;

  mutable std::mutex mutex_;
  bool ended_ = false;
  bool closing_ = false;
  std::uint64_t lastRequest_ = 0;
  std::map<std::uint64_t, Pending> pending_;
};

ExtensionProxy::ExtensionProxy(std::filesystem::path executable) : executable_(std::move(executable)) {}

ExtensionProxy::~ExtensionProxy() {
  std::shared_ptr<Connection> connection;
  {
    const std::lock_guard lock(mutex_);
    connection = std::move(current_);
  }
}

bool ExtensionProxy::isLive(const ExtensionHandle& handle) const { return liveConnection(handle) != nullptr; }

std::shared_ptr<ExtensionProxy::Connection> ExtensionProxy::liveConnection(const ExtensionHandle& handle) const {
  const std::lock_guard lock(mutex_);
  if (!current_ || current_->run() != handle.run || current_->ended()) return nullptr;
  return current_;
}

Result<std::shared_ptr<ExtensionProxy::Connection>> ExtensionProxy::runningConnection() {
  std::shared_ptr<Connection> ended;
  const std::lock_guard lock(mutex_);
  if (current_ && !current_->ended()) return current_;
  // The ended run goes once the lock is released (its reader has stopped or is stopping).
  ended = std::move(current_);
  try {
    current_ = std::make_shared<Connection>(executable_, ++lastRun_);
  } catch (const std::system_error&) {
    return communicationFailure;
  }
  return current_;
}

Result<ExtensionHandle> ExtensionProxy::tokenForConfiguration(const TokenConfigurationSnapshot& configuration) {
  auto connection = runningConnection();
  if (!connection) return connection.error();
  auto reply = connection.value()->callWith(extension_request::TokenForConfiguration{configuration});
  if (!reply) return reply.error();
  auto& made = std::get<Result<ExtensionObject>>(reply.value());
  if (!made) return made.error();
  return ExtensionHandle{connection.value()->run(), made.value()};
}

void ExtensionProxy::terminateToken(const ExtensionHandle& token) {
  if (auto connection = liveConnection(token)) connection->callWith(extension_request::TerminateToken{token.object});
}

Result<ExtensionHandle> ExtensionProxy::createSession(const ExtensionHandle& token) {
  const auto connection = liveConnection(token);
  if (!connection) return communicationFailure;
  auto reply = connection->callWith(extension_request::CreateSession{token.object});
  if (!reply) return reply.error();
  auto& made = std::get<Result<ExtensionObject>>(reply.value());
  if (!made) return made.error();
  return ExtensionHandle{connection->run(), made.value()};
}

void ExtensionProxy::releaseSession(const ExtensionHandle& session) {
  if (auto connection = liveConnection(session)) connection->callWith(extension_request::ReleaseSession{session.object});
}

Result<bool> ExtensionProxy::supports(const ExtensionHandle& session, Operation operation, const ObjectID& key,
                                      const KeyAlgorithm& algorithm) {
  const auto connection = liveConnection(session);
  if (!connection) return communicationFailure;
  auto reply = connection->callWith(extension_request::Supports{session.object, operation, key, algorithm});
  if (!reply) return reply.error();
  return std::get<Result<bool>>(std::move(reply.value()));
}

Result<Bytes> ExtensionProxy::signData(const ExtensionHandle& session, const Bytes& data, const ObjectID& key,
                                       const KeyAlgorithm& algorithm) {
  const auto connection = liveConnection(session);
  if (!connection) return communicationFailure;
  auto reply = connection->callWith(extension_request::SignData{session.object, data, key, algorithm});
  if (!reply) return reply.error();
  return std::get<Result<Bytes>>(std::move(reply.value()));
}

Result<BegunAuthOperation> ExtensionProxy::beginAuth(const ExtensionHandle& session, Operation operation,
                                                     const Constraint& constraint) {
  const auto connection = liveConnection(session);
  if (!connection) return communicationFailure;
  auto reply = connection->callWith(extension_request::BeginAuth{session.object, operation, constraint});
  if (!reply) return reply.error();
  const auto& begun = std::get<Result<BegunAuth>>(reply.value());
  if (!begun) return begun.error();
  return BegunAuthOperation{begun.value().kind, ExtensionHandle{connection->run(), begun.value().operation}};
}

Result<void> ExtensionProxy::finish(const ExtensionHandle& operation, std::optional<std::string> password) {
  ExtensionRequest request{0, extension_request::Finish{operation.object, std::nullopt}};
  auto& finish = std::get<extension_request::Finish>(request.body);
  finish.password = std::move(password);
  // A short text is copied by the move and stays behind in the parameter.
  if (password) security::wipeSecret(*password);
  const auto connection = liveConnection(operation);
  if (!connection) {
    if (finish.password) security::wipeSecret(*finish.password);
    return communicationFailure;
  }
  auto reply = connection->call(request);
  if (!reply) return reply.error();
  return std::get<Result<void>>(std::move(reply.value()));
}

void ExtensionProxy::releaseOperation(const ExtensionHandle& operation) {
  if (auto connection = liveConnection(operation)) {
    connection->callWith(extension_request::ReleaseOperation{operation.object});
  }
}

}  // namespace platform::tokenkit

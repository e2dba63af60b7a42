#include "platform/tokenkit/extension/extension_main.hpp"

#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/extension/extension_message.hpp"
#include "platform/tokenkit/extension/message_channel.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::tokenkit {

struct ExtensionService::State {
  int socket = -1;
  std::shared_ptr<TokenDriver> driver;
  std::size_t concurrentCalls = defaultConcurrentCalls;

  // The objects the host holds, by the handles it was given. Handles are never reused, so a handle
  // the host kept past a release names nothing rather than another object.
  std::mutex objectsMutex;
  ExtensionObject lastHandle = 0;
  std::map<ExtensionObject, std::shared_ptr<Token>> tokens;
  std::map<ExtensionObject, std::shared_ptr<TokenSession>> sessions;
  std::map<ExtensionObject, std::shared_ptr<AuthOperation>> operations;

  // Calls in flight, each on a worker thread of its own while it runs. Workers stay for the next
  // call once theirs has ended: a thread made anew for each of the several calls of one signature
  // costs more than the call itself. There are never more workers than calls may run at once.
  mutable std::mutex callsMutex;
  std::condition_variable callEnded;
  std::condition_variable workArrived;
  std::deque<ExtensionRequest> waitingCalls;
  std::size_t callsInFlight = 0;  // waiting or running
  std::size_t idleWorkers = 0;
  std::vector<std::thread> workers;
  bool stopping = false;

  template <class T>
  ExtensionObject keep(std::map<ExtensionObject, std::shared_ptr<T>>& table, std::shared_ptr<T> object) {
    const std::lock_guard lock(objectsMutex);
    const auto handle = ++lastHandle;
    table.emplace(handle, std::move(object));
    return handle;
  }

  template <class T>
  std::shared_ptr<T> find(std::map<ExtensionObject, std::shared_ptr<T>>& table, ExtensionObject handle) {
    const std::lock_guard lock(objectsMutex);
    const auto found = table.find(handle);
    return found == table.end() ? nullptr : found->second;
  }

  // Removes the object from the table; the caller lets it go outside the lock, since releasing an
  // object runs its own code (an operation that never finished closes its approval).
  template <class T>
  std::shared_ptr<T> take(std::map<ExtensionObject, std::shared_ptr<T>>& table, ExtensionObject handle) {
    const std::lock_guard lock(objectsMutex);
    const auto found = table.find(handle);
    if (found == table.end()) return nullptr;
    auto object = std::move(found->second);
    table.erase(found);
    return object;
  }

  ExtensionReplyBody answer(extension_request::TokenForConfiguration& request) {
    auto made = driver->tokenForConfiguration(request.configuration);
    if (!made) return Result<ExtensionObject>(made.error());
    if (!made.value()) return Result<ExtensionObject>(Error(ErrorCode::communicationError));
    return Result<ExtensionObject>(keep(tokens, std::move(made).value()));
  }

  ExtensionReplyBody answer(extension_request::TerminateToken& request) {
    if (auto token = take(tokens, request.token)) driver->terminateToken(token);
    return Acknowledged{};
  }

  ExtensionReplyBody answer(extension_request::CreateSession& request) {
    const auto token = find(tokens, request.token);
    if (!token) return Result<ExtensionObject>(Error(ErrorCode::tokenNotFound));
    auto made = token->createSession();
    if (!made) return Result<ExtensionObject>(made.error());
    if (!made.value()) return Result<ExtensionObject>(Error(ErrorCode::communicationError));
    return Result<ExtensionObject>(keep(sessions, std::move(made).value()));
  }

  ExtensionReplyBody answer(extension_request::ReleaseSession& request) {
    take(sessions, request.session);
    return Acknowledged{};
  }

  ExtensionReplyBody answer(extension_request::Supports& request) {
    const auto session = find(sessions, request.session);
    if (!session) return Result<bool>(Error(ErrorCode::communicationError));
    return Result<bool>(session->supports(request.operation, request.key, request.algorithm));
  }

  ExtensionReplyBody answer(extension_request::SignData& request) {
    const auto session = find(sessions, request.session);
    if (!session) return Result<Bytes>(Error(ErrorCode::communicationError));
    return session->signData(request.data, request.key, request.algorithm);
  }

  ExtensionReplyBody answer(extension_request::BeginAuth& request) {
    const auto session = find(sessions, request.session);
    if (!session) return Result<BegunAuth>(Error(ErrorCode::communicationError));
    auto begun = session->beginAuth(request.operation, request.constraint);
    if (!begun) return Result<BegunAuth>(begun.error());
    std::shared_ptr<AuthOperation> operation = std::move(begun).value();
    if (!operation) return Result<BegunAuth>(BegunAuth{AuthOperationKind::none, 0});
    const auto kind = dynamic_cast<PasswordAuthOperation*>(operation.get()) != nullptr ? AuthOperationKind::password
                                                                                       : AuthOperationKind::plain;
    return Result<BegunAuth>(BegunAuth{kind, keep(operations, std::move(operation))});
  }

  ExtensionReplyBody answer(extension_request::Finish& request) {
    const auto operation = find(operations, request.operation);
    auto* withPassword = dynamic_cast<PasswordAuthOperation*>(operation.get());
    if (withPassword != nullptr && request.password) {
      withPassword->password = std::move(request.password);
    }
    // Whatever was not handed to the operation (or the copy a short text leaves behind when it
    // moves) goes now.
    if (request.password) security::wipeSecret(*request.password);
    request.password.reset();
    if (!operation) return Result<void>(Error(ErrorCode::communicationError));
    auto finished = operation->finish();
    // The operation is done with the password whether or not it let go of it itself.
    if (withPassword != nullptr && withPassword->password) {
      security::wipeSecret(*withPassword->password);
      withPassword->password.reset();
    }
    return finished;
  }

  ExtensionReplyBody answer(extension_request::ReleaseOperation& request) {
    take(operations, request.operation);
    return Acknowledged{};
  }

  void run(ExtensionRequest request) {
    ExtensionReply reply;
    reply.id = request.id;
    reply.call = request.call();
    try {
      reply.body = std::visit([this](auto& body) { return answer(body); }, request.body);
    } catch (...) {
      // A driver that throws fails the one call, not the extension.
      reply.body = failureOf(reply.call);
    }
    if (auto* finish = std::get_if<extension_request::Finish>(&request.body); finish && finish->password) {
      security::wipeSecret(*finish->password);
    }
    if (auto message = encodeExtensionReply(reply)) {
      sendPacket(socket, *message);
    } else {
      // A reply too large for a message (a driver's signature or text beyond 64 KiB) still ends
      // the call for the host, as an error.
      reply.body = failureOf(reply.call);
      if (auto fallback = encodeExtensionReply(reply)) sendPacket(socket, *fallback);
    }
  }

  static ExtensionReplyBody failureOf(ExtensionCall call) {
    const Error failure(ErrorCode::communicationError);
    switch (call) {
      case ExtensionCall::tokenForConfiguration:
      case ExtensionCall::createSession:
        return Result<ExtensionObject>(failure);
      case ExtensionCall::supports:
        return Result<bool>(failure);
      case ExtensionCall::signData:
        return Result<Bytes>(failure);
      case ExtensionCall::beginAuth:
        return Result<BegunAuth>(failure);
      case ExtensionCall::finish:
        return Result<void>(failure);
      case ExtensionCall::terminateToken:
      case ExtensionCall::releaseSession:
      case ExtensionCall::releaseOperation:
        break;
    }
    return Acknowledged{};
  }

  void start(const std::shared_ptr<State>& self, ExtensionRequest request) {
    std::unique_lock lock(callsMutex);
    callEnded.wait(lock, [this] { return callsInFlight < concurrentCalls; });
    ++callsInFlight;
    waitingCalls.push_back(std::move(request));
    if (idleWorkers >= waitingCalls.size()) {
      workArrived.notify_one();
      return;
    }
    try {
      workers.emplace_back([self] { self->work(); });
    } catch (const std::system_error&) {
      // No thread to be had. A worker that exists takes the call once its own has ended; without
      // one, the call is served here, holding up the next ones but losing none.
      if (!workers.empty()) return;
      auto call = std::move(waitingCalls.back());
      waitingCalls.pop_back();
      serve(lock, std::move(call));
    }
  }

  // Runs the call without `lock` held, then counts it as ended.
  void serve(std::unique_lock<std::mutex>& lock, ExtensionRequest call) {
    lock.unlock();
    run(std::move(call));
    lock.lock();
    --callsInFlight;
    callEnded.notify_all();
  }

  void work() {
    std::unique_lock lock(callsMutex);
    for (;;) {
      ++idleWorkers;
      workArrived.wait(lock, [this] { return stopping || !waitingCalls.empty(); });
      --idleWorkers;
      if (waitingCalls.empty()) return;
      auto call = std::move(waitingCalls.front());
      waitingCalls.pop_front();
      serve(lock, std::move(call));
    }
  }

  void waitForCalls() {
    std::vector<std::thread> ending;
    {
      std::unique_lock lock(callsMutex);
      callEnded.wait(lock, [this] { return callsInFlight == 0; });
      stopping = true;
      workArrived.notify_all();
      ending.swap(workers);
    }
    for (auto& worker : ending) worker.join();
  }
};

ExtensionService::ExtensionService(int socket, std::shared_ptr<TokenDriver> driver, std::size_t concurrentCalls)
    : state_(std::make_shared<State>()) {
  state_->socket = socket;
  state_->driver = std::move(driver);
  state_->concurrentCalls = concurrentCalls == 0 ? 1 : concurrentCalls;
}

ExtensionService::~ExtensionService() {
  state_->waitForCalls();
  std::map<ExtensionObject, std::shared_ptr<AuthOperation>> operations;
  std::map<ExtensionObject, std::shared_ptr<TokenSession>> sessions;
  std::map<ExtensionObject, std::shared_ptr<Token>> tokens;
  {
    const std::lock_guard lock(state_->objectsMutex);
    operations.swap(state_->operations);
    sessions.swap(state_->sessions);
    tokens.swap(state_->tokens);
  }
  operations.clear();
  sessions.clear();
  tokens.clear();
}

bool ExtensionService::serve() {
  for (;;) {
    auto packet = receivePacket(state_->socket, maximumExtensionMessageSize);
    if (packet.status == ReceivedPacket::Status::closed) return true;
    std::optional<ExtensionRequest> request;
    if (packet.status == ReceivedPacket::Status::message) request = decodeExtensionRequest(packet.bytes);
    // The packet may have carried a password.
    wipeMessage(packet.bytes);
    if (!request) {
      ::shutdown(state_->socket, SHUT_RDWR);
      return false;
    }
    state_->start(state_, std::move(*request));
  }
}

bool ExtensionService::callsInFlight() const {
  const std::lock_guard lock(state_->callsMutex);
  return state_->callsInFlight > 0;
}

int extensionMain(std::function<std::shared_ptr<TokenDriver>()> principal) {
  int type = 0;
  socklen_t length = sizeof(type);
  if (::getsockopt(extensionHostDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
    return 1;
  }
  // Nothing the extension starts itself inherits its line to the host.
  ::fcntl(extensionHostDescriptor, F_SETFD, FD_CLOEXEC);
  auto driver = principal ? principal() : nullptr;
  if (!driver) return 1;
  auto service = std::make_unique<ExtensionService>(extensionHostDescriptor, std::move(driver));
  const bool closedByHost = service->serve();
  if (service->callsInFlight()) {
    // A call blocked in the driver would hold the process for as long as it blocks, answering no
    // one; its objects cannot be released under it.
    std::_Exit(closedByHost ? 0 : 1);
  }
  service.reset();
  return closedByHost ? 0 : 1;
}

}  // namespace platform::tokenkit

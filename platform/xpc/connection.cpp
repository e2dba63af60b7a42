#include "platform/xpc/connection_core.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <utility>

namespace platform::xpc {
namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

namespace {

// Callbacks belong to the caller; one that throws on an I/O thread has no one to catch it, so it
// ends the process at once rather than leave a connection half-handled.
template <typename Function, typename... Arguments>
void call(const Function& function, Arguments&&... arguments) noexcept {
  if (function) function(std::forward<Arguments>(arguments)...);
}

}  // namespace

// Reply ------------------------------------------------------------------------------------------

Reply::Reply(std::weak_ptr<ConnectionCore> connection, std::uint64_t id, std::vector<Kind> kinds)
    : connection_(std::move(connection)), id_(id), kinds_(std::move(kinds)), done_(false) {}

Reply::Reply(Reply&& other) noexcept
    : connection_(std::move(other.connection_)), id_(other.id_), kinds_(std::move(other.kinds_)),
      done_(std::exchange(other.done_, true)) {}

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    finish(std::nullopt);
    connection_ = std::move(other.connection_);
    id_ = other.id_;
    kinds_ = std::move(other.kinds_);
    done_ = std::exchange(other.done_, true);
  }
  return *this;
}

Reply::~Reply() { finish(std::nullopt); }

void Reply::operator()(Values values) { finish(std::move(values)); }

void Reply::finish(std::optional<Values> values) {
  if (std::exchange(done_, true)) return;
  const auto connection = connection_.lock();
  if (!connection) return;
  std::optional<Bytes> frame;
  if (values && valuesHaveKinds(*values, kinds_)) {
    frame = encodeFrame(Frame{FrameType::reply, id_, {}, kinds_, std::move(*values)});
  }
  connection->reply(id_, std::move(frame));
}

// Connection ---------------------------------------------------------------------------------------

Connection::Connection(std::shared_ptr<ConnectionCore> core) : core_(std::move(core)) {}
Connection::~Connection() { core_->invalidate(); }

std::shared_ptr<Connection> Connection::toService(Context& context, const std::string& serviceName) {
  return std::make_shared<Connection>(
      std::make_shared<ConnectionCore>(context.settings(), context.executor(), ConnectionCore::Origin::service,
                                       serviceSocketPath(context, serviceName), context.launchExecutor()));
}

std::shared_ptr<Connection> Connection::toEndpoint(Context& context, const Endpoint& endpoint) {
  return std::make_shared<Connection>(
      std::make_shared<ConnectionCore>(context.settings(), context.executor(), ConnectionCore::Origin::endpoint,
                                       endpoint.socketPath));
}

bool Connection::setCodeSigningRequirement(std::string_view requirement) { return core_->setRequirement(requirement); }
void Connection::setRemoteInterface(Interface interface) { core_->setRemoteInterface(std::move(interface)); }
void Connection::setExportedInterface(Interface interface) { core_->setExportedInterface(std::move(interface)); }
void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  core_->setExportedObject(std::move(object));
}
void Connection::setInvalidationHandler(std::function<void()> handler) {
  core_->setInvalidationHandler(std::move(handler));
}
void Connection::setInterruptionHandler(std::function<void()> handler) {
  core_->setInterruptionHandler(std::move(handler));
}
void Connection::resume() { core_->resume(); }
void Connection::invalidate() { core_->invalidate(); }
void Connection::send(std::string selector, Values arguments, std::function<void(Values)> onReply,
                      std::function<void(Error)> onError) {
  core_->send(std::move(selector), std::move(arguments), std::move(onReply), std::move(onError));
}
std::optional<PeerCredentials> Connection::peerCredentials() const { return core_->peerCredentials(); }
std::optional<uid_t> Connection::peerEffectiveUID() const {
  const auto credentials = peerCredentials();
  if (!credentials) return std::nullopt;
  return credentials->effectiveUID;
}
std::optional<pid_t> Connection::peerPID() const {
  const auto credentials = peerCredentials();
  if (!credentials) return std::nullopt;
  return credentials->pid;
}

std::string serviceSocketPath(const Context& context, const std::string& serviceName) {
  return context.settings()->runtimeDirectory + "/" + serviceName;
}

// ConnectionCore -----------------------------------------------------------------------------------

ConnectionCore::ConnectionCore(std::shared_ptr<const ContextSettings> settings, Executor executor, Origin origin,
                               std::string path, std::optional<LaunchExecutor> launchExecutor)
    : settings_(std::move(settings)), strand_(asio::make_strand(executor)), socket_(executor), origin_(origin),
      path_(std::move(path)), launchExecutor_(origin == Origin::service ? launchExecutor : std::nullopt),
      retryTimer_(strand_) {}

ConnectionCore::ConnectionCore(std::shared_ptr<const ContextSettings> settings, Executor executor, UniqueFd socket,
                               PeerCredentials peer)
    : settings_(std::move(settings)), strand_(asio::make_strand(executor)), socket_(executor),
      origin_(Origin::accepted), retryTimer_(strand_), credentials_(peer) {
  boost::system::error_code ignored;
  socket_.assign(stream(), socket.release(), ignored);
}

template <typename Function>
void ConnectionCore::onStrand(Function function) {
  asio::post(strand_, [self = shared_from_this(), function = std::move(function)]() mutable { function(*self); });
}

bool ConnectionCore::setRequirement(std::string_view requirement) {
  if (!settings_->verifier || !settings_->verifier->isValidRequirement(requirement)) return false;
  onStrand([text = std::string(requirement)](ConnectionCore& self) { self.requirement_ = text; });
  return true;
}

void ConnectionCore::setRemoteInterface(Interface interface) {
  onStrand([interface = std::move(interface)](ConnectionCore& self) mutable { self.remote_ = std::move(interface); });
}

void ConnectionCore::setExportedInterface(Interface interface) {
  onStrand(
      [interface = std::move(interface)](ConnectionCore& self) mutable { self.exported_ = std::move(interface); });
}

void ConnectionCore::setExportedObject(std::shared_ptr<ExportedObject> object) {
  onStrand([object = std::move(object)](ConnectionCore& self) mutable {
    if (self.state_ != State::invalid) self.exportedObject_ = std::move(object);
  });
}

void ConnectionCore::setInvalidationHandler(std::function<void()> handler) {
  onStrand([handler = std::move(handler)](ConnectionCore& self) mutable {
    if (self.state_ != State::invalid) self.invalidationHandler_ = std::move(handler);
  });
}

void ConnectionCore::setInterruptionHandler(std::function<void()> handler) {
  onStrand([handler = std::move(handler)](ConnectionCore& self) mutable {
    if (self.state_ != State::invalid) self.interruptionHandler_ = std::move(handler);
  });
}

void ConnectionCore::resume() {
  onStrand([](ConnectionCore& self) {
    if (self.state_ != State::idle) return;
    self.resumed_ = true;
    if (self.origin_ == Origin::accepted) {
      self.open();
    } else {
      self.connect();
    }
  });
}

void ConnectionCore::invalidate() {
  onStrand([](ConnectionCore& self) { self.invalidateNow(Error::invalid); });
}

void ConnectionCore::send(std::string selector, Values arguments, std::function<void(Values)> onReply,
                          std::function<void(Error)> onError) {
  onStrand([selector = std::move(selector), arguments = std::move(arguments), onReply = std::move(onReply),
            onError = std::move(onError)](ConnectionCore& self) mutable {
    if (self.state_ == State::invalid) return call(onError, Error::invalid);
    if (self.state_ == State::interrupted) return call(onError, Error::interrupted);
    const Method* method = self.remote_.method(selector);
    if (!method || !valuesHaveKinds(arguments, method->arguments)) return call(onError, Error::protocol);
    const std::uint64_t id = self.nextID_++;
    auto frame = encodeFrame(Frame{FrameType::call, id, selector, method->arguments, std::move(arguments)});
    if (!frame) return call(onError, Error::protocol);
    if (self.outgoingBytes_ + frame->size() > self.settings_->outgoingBytesLimit) {
      return call(onError, Error::overloaded);
    }
    self.pending_.emplace(id, Pending{method->reply, std::move(onReply), std::move(onError)});
    self.enqueue(std::move(*frame));
  });
}

void ConnectionCore::reply(std::uint64_t id, std::optional<Bytes> frame) {
  if (!frame) frame = encodeFrame(Frame{FrameType::noReply, id, {}, {}, {}});
  onStrand([frame = std::move(*frame)](ConnectionCore& self) mutable {
    if (self.state_ != State::open) return;
    // The peer stopped reading while it keeps calling: it gets no more of this process's memory.
    if (self.outgoingBytes_ + frame.size() > self.settings_->outgoingBytesLimit) {
      return self.invalidateNow(Error::overloaded);
    }
    self.enqueue(std::move(frame));
  });
}

std::optional<PeerCredentials> ConnectionCore::peerCredentials() const {
  std::lock_guard lock(credentialsMutex_);
  return credentials_;
}

namespace {

// What a connect finds where no listener is: no socket file, or one that nobody accepts on.
bool nothingListens(const boost::system::error_code& result) {
  return result == boost::system::errc::no_such_file_or_directory ||
         result == boost::system::errc::connection_refused;
}

}  // namespace

void ConnectionCore::connect() {
  state_ = State::connecting;
  connectOnce();
}

void ConnectionCore::connectOnce() {
  UniqueFd fd = newStreamSocket();
  boost::system::error_code error;
  // A path that would not fit a socket address fails here rather than be cut short at bind.
  if (!fd || !isSocketPathIn(path_, settings_->runtimeDirectory)) return invalidateNow(Error::invalid);
  socket_.close(error);
  socket_.assign(stream(), fd.release(), error);
  if (error) return invalidateNow(Error::invalid);
  socket_.async_connect(stream::endpoint(path_),
                        asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code result) {
                          if (self->state_ != State::connecting) return;
                          if (!result) return self->connected();
                          if (self->launchExecutor_ && nothingListens(result)) return self->askLauncher();
                          self->invalidateNow(Error::invalid);
                        }));
}

void ConnectionCore::askLauncher() {
  const auto name = path_.substr(path_.rfind('/') + 1);
  asio::post(*launchExecutor_, [self = shared_from_this(), name] {
    const bool running = self->settings_->launcher->launch(name);
    asio::post(self->strand_, [self, running] { self->launched(running); });
  });
}

// The program may take a moment between being started and listening; its socket is tried again
// until the launch wait is over, and the launcher is asked each time, so that a program that
// ended meanwhile fails the connection at once.
void ConnectionCore::launched(bool running) {
  if (state_ != State::connecting) return;
  const auto now = std::chrono::steady_clock::now();
  if (!launchDeadline_) launchDeadline_ = now + settings_->launchWait;
  if (!running || now >= *launchDeadline_) return invalidateNow(Error::invalid);
  retryTimer_.expires_after(std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(10),
                                                                          *launchDeadline_ - now));
  retryTimer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code error) {
    if (error || self->state_ != State::connecting) return;
    self->connectOnce();
  }));
}

void ConnectionCore::connected() {
  const auto server = peerCredentialsOf(socket_.native_handle());
  if (!server) return invalidateNow(Error::invalid);
  {
    std::lock_guard lock(credentialsMutex_);
    credentials_ = server;
  }
  // The first message may carry a secret: the server proves who it is before anything goes out.
  if (requirement_ && !(settings_->verifier && settings_->verifier->satisfies(server->pid, *requirement_))) {
    return invalidateNow(Error::invalid);
  }
  open();
}

void ConnectionCore::open() {
  state_ = State::open;
  readHeader();
  writeNext();
}

void ConnectionCore::readHeader() {
  asio::async_read(socket_, asio::buffer(header_),
                   asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code error,
                                                                            std::size_t) {
                     if (self->state_ != State::open) return;
                     if (error) return self->peerWentAway();
                     const auto length = frameBodyLength(self->header_);
                     if (!length) return self->invalidateNow(Error::protocol);
                     self->readBody(*length);
                   }));
}

void ConnectionCore::readBody(std::size_t length) {
  body_.resize(length);
  asio::async_read(socket_, asio::buffer(body_),
                   asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code error,
                                                                            std::size_t) {
                     if (self->state_ != State::open) return;
                     if (error) return self->peerWentAway();
                     auto frame = decodeFrameBody(self->body_, self->settings_->runtimeDirectory);
                     if (!frame) return self->invalidateNow(Error::protocol);
                     self->handle(std::move(*frame));
                     if (self->state_ == State::open) self->readHeader();
                   }));
}

void ConnectionCore::handle(Frame frame) {
  switch (frame.type) {
    case FrameType::call: return handleCall(std::move(frame));
    case FrameType::reply: return handleReply(std::move(frame));
    case FrameType::noReply: return handleNoReply(frame);
  }
}

void ConnectionCore::handleCall(Frame frame) {
  const Method* method = exported_.method(frame.selector);
  if (!method || !exportedObject_ || frame.kinds != method->arguments) return invalidateNow(Error::protocol);
  Reply reply(weak_from_this(), frame.id, method->reply);
  const auto object = exportedObject_;
  object->invoke(frame.selector, std::move(frame.values), std::move(reply));
}

void ConnectionCore::handleReply(Frame frame) {
  const auto found = pending_.find(frame.id);
  if (found == pending_.end() || frame.kinds != found->second.replyKinds) return invalidateNow(Error::protocol);
  const Pending pending = std::move(found->second);
  pending_.erase(found);
  call(pending.onReply, std::move(frame.values));
}

void ConnectionCore::handleNoReply(const Frame& frame) {
  const auto found = pending_.find(frame.id);
  if (found == pending_.end()) return invalidateNow(Error::protocol);
  const Pending pending = std::move(found->second);
  pending_.erase(found);
  call(pending.onError, Error::replyDropped);
}

void ConnectionCore::enqueue(Bytes frame) {
  outgoingBytes_ += frame.size();
  outgoing_.push_back(std::move(frame));
  writeNext();
}

void ConnectionCore::writeNext() {
  if (writing_ || outgoing_.empty() || state_ != State::open) return;
  writing_ = true;
  // Held apart from the queue, which a break clears while the kernel may still be reading this.
  inFlight_ = std::move(outgoing_.front());
  outgoing_.pop_front();
  asio::async_write(socket_, asio::buffer(inFlight_),
                    asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code error,
                                                                             std::size_t) {
                      self->writing_ = false;
                      if (self->state_ != State::open) return;
                      if (error) return self->peerWentAway();
                      self->outgoingBytes_ -= self->inFlight_.size();
                      self->writeNext();
                    }));
}

void ConnectionCore::peerWentAway() {
  if (origin_ != Origin::service) return invalidateNow(Error::invalid);
  state_ = State::interrupted;
  closeSocket();
  exportedObject_.reset();
  const auto handler = interruptionHandler_;
  call(handler);
  failPending(Error::interrupted);
}

void ConnectionCore::invalidateNow(Error pendingError) {
  if (state_ == State::invalid) return;
  state_ = State::invalid;
  closeSocket();
  exportedObject_.reset();
  interruptionHandler_ = nullptr;
  // Taken out first: the handler may drop the last handle of this connection or set handlers anew.
  const auto handler = std::exchange(invalidationHandler_, nullptr);
  if (resumed_) call(handler);
  failPending(pendingError);
}

void ConnectionCore::failPending(Error error) {
  auto pending = std::exchange(pending_, {});
  outgoing_.clear();
  outgoingBytes_ = 0;
  for (auto& [id, message] : pending) call(message.onError, error);
}

void ConnectionCore::closeSocket() {
  retryTimer_.cancel();
  boost::system::error_code ignored;
  socket_.shutdown(stream::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace platform::xpc

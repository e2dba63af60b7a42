#include "platform/xpc/listener.hpp"

#include "platform/foundation/bytes.hpp"
#include "platform/xpc/connection_core.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/unix_socket.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace platform::xpc {
namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

ListenerError::ListenerError(Case which, const std::string& what) : std::runtime_error(what), case_(which) {}

namespace {

bool isServiceName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

bool bindTo(int fd, const std::string& path) {
  const sockaddr_un address = addressOf(path);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A socket file that nothing answers on any more is what a listener that died leaves behind.
bool isStaleSocket(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) && !somethingAnswersAt(path);
}

std::string anonymousName() {
  std::array<std::uint8_t, 12> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    throw ListenerError(ListenerError::Case::system, "no random bytes for an anonymous listener");
  }
  return "anonymous-" + foundation::lowercaseHex(random);
}

struct BoundSocket {
  UniqueFd fd;
  struct stat file {};
};

enum class BindResult { bound, inUse };

BindResult bindListening(const std::string& path, int backlog, BoundSocket& bound) {
  bound.fd = newStreamSocket();
  if (!bound.fd) throw ListenerError(ListenerError::Case::system, "cannot make a socket");
  if (!bindTo(bound.fd.get(), path)) {
    if (errno == EADDRINUSE) return BindResult::inUse;
    throw ListenerError(ListenerError::Case::system, "cannot bind " + path + ": " + std::strerror(errno));
  }
  if (::lstat(path.c_str(), &bound.file) != 0 || ::listen(bound.fd.get(), backlog) != 0) {
    ::unlink(path.c_str());
    throw ListenerError(ListenerError::Case::system, "cannot listen on " + path);
  }
  return BindResult::bound;
}

}  // namespace

// The accepting side of a listener, on its own strand; the public handle owns it.
class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
public:
  ListenerCore(Context& context, std::string path, BoundSocket bound)
      : settings_(context.settings()), executor_(context.executor()), strand_(asio::make_strand(executor_)),
        acceptor_(executor_), retryTimer_(strand_), path_(std::move(path)), file_(bound.file) {
    boost::system::error_code ignored;
    acceptor_.assign(stream(), bound.fd.release(), ignored);
  }

  // A listener whose context ended before its invalidation ran still takes its socket file away.
  ~ListenerCore() { close(); }

  ListenerCore(const ListenerCore&) = delete;
  ListenerCore& operator=(const ListenerCore&) = delete;

  void setOwner(std::weak_ptr<Listener> owner) { owner_ = std::move(owner); }
  const std::string& path() const { return path_; }

  bool setRequirement(std::string_view requirement) {
    if (!settings_->verifier || !settings_->verifier->isValidRequirement(requirement)) return false;
    asio::post(strand_, [self = shared_from_this(), text = std::string(requirement)] { self->requirement_ = text; });
    return true;
  }

  void setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
    asio::post(strand_, [self = shared_from_this(), delegate = std::move(delegate)] { self->delegate_ = delegate; });
  }

  void resume() {
    asio::post(strand_, [self = shared_from_this()] {
      if (self->state_ != State::idle) return;
      self->state_ = State::listening;
      self->waitForPeers();
    });
  }

  void invalidate() {
    asio::post(strand_, [self = shared_from_this()] { self->close(); });
  }

private:
  enum class State { idle, listening, closed };

  void waitForPeers() {
    acceptor_.async_wait(stream::acceptor::wait_read,
                         asio::bind_executor(strand_, [self = shared_from_this()](boost::system::error_code error) {
                           if (self->state_ != State::listening || error) return;
                           self->acceptWaiting();
                         }));
  }

  void acceptWaiting() {
    // A bounded batch, so that a flood of peers cannot keep this strand from its other work.
    for (int i = 0; i < 32 && state_ == State::listening; ++i) {
      UniqueFd peer(::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!peer) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) break;
        return pauseAccepting();  // out of descriptors or memory: try again later, not in a spin
      }
      admit(std::move(peer));
    }
    if (state_ == State::listening) waitForPeers();
  }

  void pauseAccepting() {
    retryTimer_.expires_after(std::chrono::milliseconds(100));
    retryTimer_.async_wait([self = shared_from_this()](boost::system::error_code error) {
      if (!error && self->state_ == State::listening) self->waitForPeers();
    });
  }

  void admit(UniqueFd peer) {
    const auto credentials = peerCredentialsOf(peer.get());
    if (!credentials) return;
    // The requirement is checked before the delegate hears of the peer and before a byte is read.
    if (requirement_ && !(settings_->verifier && settings_->verifier->satisfies(credentials->pid, *requirement_))) {
      return;
    }
    const auto owner = owner_.lock();
    const auto delegate = delegate_.lock();
    if (!owner || !delegate) return;
    auto connection = std::make_shared<Connection>(
        std::make_shared<ConnectionCore>(settings_, executor_, std::move(peer), *credentials));
    if (!delegate->shouldAccept(*owner, connection)) connection->invalidate();
  }

  void close() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    retryTimer_.cancel();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    // Only the file this listener made: another listener may have taken the path since.
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && status.st_ino == file_.st_ino && status.st_dev == file_.st_dev) {
      ::unlink(path_.c_str());
    }
  }

  std::shared_ptr<const ContextSettings> settings_;
  asio::io_context::executor_type executor_;
  asio::strand<asio::io_context::executor_type> strand_;
  stream::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  std::string path_;
  struct stat file_ {};
  State state_ = State::idle;
  std::optional<std::string> requirement_;
  std::weak_ptr<ListenerDelegate> delegate_;
  std::weak_ptr<Listener> owner_;
};

namespace {

std::shared_ptr<Listener> makeListener(Context& context, std::string path, BoundSocket bound) {
  auto core = std::make_shared<ListenerCore>(context, std::move(path), std::move(bound));
  auto listener = std::make_shared<Listener>(core);
  core->setOwner(listener);
  return listener;
}

}  // namespace

std::shared_ptr<Listener> Listener::forService(Context& context, const std::string& serviceName) {
  if (!isServiceName(serviceName)) throw ListenerError(ListenerError::Case::invalidName, "bad service name");
  const std::string path = serviceSocketPath(context, serviceName);
  if (!fitsSocketAddress(path)) throw ListenerError(ListenerError::Case::pathTooLong, "socket path too long: " + path);
  const int backlog = context.settings()->pendingConnectionLimit;
  BoundSocket bound;
  if (bindListening(path, backlog, bound) == BindResult::bound) return makeListener(context, path, std::move(bound));
  if (!isStaleSocket(path)) throw ListenerError(ListenerError::Case::inUse, "a listener answers at " + path);
  ::unlink(path.c_str());
  if (bindListening(path, backlog, bound) == BindResult::bound) return makeListener(context, path, std::move(bound));
  throw ListenerError(ListenerError::Case::inUse, "a listener took " + path);
}

std::shared_ptr<Listener> Listener::anonymous(Context& context) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string path = serviceSocketPath(context, anonymousName());
    if (!fitsSocketAddress(path)) {
      throw ListenerError(ListenerError::Case::pathTooLong, "socket path too long: " + path);
    }
    BoundSocket bound;
    if (bindListening(path, context.settings()->pendingConnectionLimit, bound) == BindResult::bound) {
      return makeListener(context, path, std::move(bound));
    }
  }
  throw ListenerError(ListenerError::Case::inUse, "no free anonymous socket path");
}

Listener::Listener(std::shared_ptr<ListenerCore> core) : core_(std::move(core)) {}
Listener::~Listener() { core_->invalidate(); }

bool Listener::setConnectionCodeSigningRequirement(std::string_view requirement) {
  return core_->setRequirement(requirement);
}
void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) { core_->setDelegate(std::move(delegate)); }
Endpoint Listener::endpoint() const { return Endpoint{core_->path()}; }
void Listener::resume() { core_->resume(); }
void Listener::invalidate() { core_->invalidate(); }

}  // namespace platform::xpc

#include "platform/tokenkit/client/token_host_server.hpp"

#include "platform/foundation/unique_fd.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/unix_socket.hpp"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace platform::tokenkit {

using foundation::UniqueFd;

TokenHostServerError::TokenHostServerError(Case which, const std::string& what)
    : std::runtime_error(what), case_(which) {}

namespace {

// The host's own answers, for what happens between the client and the service.
const char* const busyText = "The token host is already handling as many signing requests as it can. Try again later.";
const char* const unsendableAnswerText = "The token's answer could not be passed on to the application.";

constexpr std::size_t acceptBatch = 32;
constexpr auto acceptPause = std::chrono::milliseconds(100);

// The name of the client's program for the user: the file name of its executable. The pidfd, opened
// first, says whether the process ended while its executable was read; then another process may
// have its number, and the name would be that one's.
std::string programNameOf(pid_t pid) {
  const std::string fallback = "process " + std::to_string(pid);
  const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
  if (!pidfd && errno == ESRCH) return fallback;
  std::array<char, PATH_MAX> target{};
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return fallback;
  if (pidfd) {
    pollfd ended{pidfd.get(), POLLIN, 0};
    if (::poll(&ended, 1, 0) != 0) return fallback;
  }
  std::string_view path(target.data(), static_cast<std::size_t>(length));
  // The kernel's mark of an executable replaced since the process started.
  constexpr std::string_view deleted = " (deleted)";
  if (path.size() > deleted.size() && path.substr(path.size() - deleted.size()) == deleted) {
    path.remove_suffix(deleted.size());
  }
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.empty() ? fallback : std::string(name);
}

struct ClientConnection {
  std::uint64_t id = 0;
  std::string name;
  // The I/O thread's alone.
  UniqueFd socket;
  Bytes incoming;
  // Under the state's mutex.
  Bytes outgoing;
  std::size_t outgoingSent = 0;
  bool open = true;
  bool overflowed = false;
  std::size_t signsUnderWay = 0;

  std::size_t outgoingPending() const { return outgoing.size() - outgoingSent; }
};

using Client = std::shared_ptr<ClientConnection>;

struct SignJob {
  Client client;
  std::uint64_t requestID = 0;
  SignDigestRequest request;
};

struct GoneJob {
  Client client;
};

using Job = std::variant<SignJob, GoneJob>;

Bytes encodedAnswer(std::uint64_t requestID, std::variant<TokensAnswer, SignatureAnswer, Error> content) {
  if (auto bytes = encodeTokenHostMessage(TokenHostAnswer{requestID, std::move(content)})) return std::move(*bytes);
  // A signature or a list of tokens too long for a message, or a text that is not UTF-8; this
  // error always encodes.
  return *encodeTokenHostMessage(
      TokenHostAnswer{requestID, Error(ErrorCode::communicationError, std::string(unsendableAnswerText))});
}

}  // namespace

class TokenHostServer::State {
public:
  State(const xpc::RuntimeDirectory& directory, TokenHostService& service, TokenHostServerOptions options)
      : service_(service),
        options_(options),
        ownEffectiveUID_(options.ownEffectiveUID.value_or(::geteuid())),
        path_(tokenHostSocketPath(directory)) {
    listen();
    wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
      unlinkOwnSocket();
      throw TokenHostServerError(TokenHostServerError::Case::system, "cannot make an event descriptor");
    }
    readBuffer_.resize(maxTokenHostMessageBytes);
    try {
      // One thread more than signatures may be under way, so that telling the service of a client
      // that went never waits for a signature.
      for (std::size_t i = 0; i < options_.signLimit + 1; ++i) workers_.emplace_back([this] { runWorker(); });
      io_ = std::thread([this] { runIO(); });
    } catch (...) {
      stopWorkers();
      unlinkOwnSocket();
      throw;
    }
  }

  ~State() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wakeIO();
    io_.join();
    stopWorkers();
  }

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  const std::string& path() const { return path_; }

private:
  void listen() {
    if (!xpc::fitsSocketAddress(path_)) {
      throw TokenHostServerError(TokenHostServerError::Case::system, "socket path too long: " + path_);
    }
    struct stat existing {};
    // What a host that died leaves behind; a live one keeps its socket.
    if (::lstat(path_.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode) && !xpc::somethingAnswersAt(path_)) {
      ::unlink(path_.c_str());
    }
    listener_ = xpc::newStreamSocket();
    if (!listener_) throw TokenHostServerError(TokenHostServerError::Case::system, "cannot make a socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      if (errno == EADDRINUSE) {
        throw TokenHostServerError(TokenHostServerError::Case::inUse, "a token host answers at " + path_);
      }
      throw TokenHostServerError(TokenHostServerError::Case::system,
                                 "cannot bind " + path_ + ": " + std::strerror(errno));
    }
    const int backlog = static_cast<int>(std::clamp<std::size_t>(options_.connectionLimit, 1, 128));
    if (::lstat(path_.c_str(), &socketFile_) != 0 || ::listen(listener_.get(), backlog) != 0) {
      ::unlink(path_.c_str());
      throw TokenHostServerError(TokenHostServerError::Case::system, "cannot listen on " + path_);
    }
  }

  // Only the file this server made: a later host may have taken the path since.
  void unlinkOwnSocket() {
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && status.st_ino == socketFile_.st_ino &&
        status.st_dev == socketFile_.st_dev) {
      ::unlink(path_.c_str());
    }
  }

  // Once the I/O thread is done no job comes but those the workers make themselves.
  void stopWorkers() {
    {
      const std::lock_guard lock(mutex_);
      ioDone_ = true;
    }
    jobsChanged_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  void wakeIO() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
  }

  // ---- the I/O thread: accepts, reads requests, writes answers; never waits on the service's
  // signatures ----

  void runIO() {
    std::vector<pollfd> descriptors;
    std::vector<Client> polled;
    for (;;) {
      descriptors.clear();
      polled.clear();
      std::vector<Client> overflowing;
      const auto now = std::chrono::steady_clock::now();
      const bool acceptPaused = acceptPausedUntil_ && now < *acceptPausedUntil_;
      descriptors.push_back({wake_.get(), POLLIN, 0});
      // A negative descriptor is one that poll skips.
      descriptors.push_back({acceptPaused ? -1 : listener_.get(), POLLIN, 0});
      {
        const std::lock_guard lock(mutex_);
        if (stopping_) break;
        for (const auto& [id, client] : open_) {
          if (client->overflowed) {
            overflowing.push_back(client);
            continue;
          }
          const short events = client->outgoingPending() > 0 ? POLLIN | POLLOUT : POLLIN;
          descriptors.push_back({client->socket.get(), events, 0});
          polled.push_back(client);
        }
      }
      if (!overflowing.empty()) {
        for (const auto& client : overflowing) closeClient(client);
        continue;
      }
      int timeout = -1;
      if (acceptPaused) {
        timeout = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(*acceptPausedUntil_ - now).count());
      }
      if (::poll(descriptors.data(), descriptors.size(), timeout) < 0) continue;  // EINTR
      if (descriptors[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto drained = ::read(wake_.get(), &count, sizeof count);
      }
      if ((descriptors[1].revents & POLLIN) != 0) acceptWaiting();
      for (std::size_t i = 0; i < polled.size(); ++i) {
        const short events = descriptors[i + 2].revents;
        const auto& client = polled[i];
        if ((events & POLLOUT) != 0) flush(client);
        if (client->socket && (events & (POLLIN | POLLHUP | POLLERR)) != 0) readFrom(client);
      }
    }
    std::vector<Client> remaining;
    {
      const std::lock_guard lock(mutex_);
      for (const auto& [id, client] : open_) remaining.push_back(client);
    }
    for (const auto& client : remaining) closeClient(client);
    listener_.reset();
    unlinkOwnSocket();
  }

  void acceptWaiting() {
    // A bounded batch, so that a flood of connections cannot keep the clients' requests waiting.
    for (std::size_t i = 0; i < acceptBatch; ++i) {
      UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!peer) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) break;
        // Out of descriptors or memory: the listener stays readable, so try again later, not in a spin.
        acceptPausedUntil_ = std::chrono::steady_clock::now() + acceptPause;
        return;
      }
      acceptPausedUntil_.reset();
      admit(std::move(peer));
    }
  }

  // A peer of another user, or one past the limit, is closed before a byte of it is read.
  void admit(UniqueFd peer) {
    const auto credentials = xpc::peerCredentialsOf(peer.get());
    if (!credentials || credentials->effectiveUID != ownEffectiveUID_) return;
    auto client = std::make_shared<ClientConnection>();
    {
      const std::lock_guard lock(mutex_);
      if (clients_ >= options_.connectionLimit) return;
      ++clients_;
      client->id = nextClientID_++;
    }
    client->name = programNameOf(credentials->pid);
    client->socket = std::move(peer);
    const std::lock_guard lock(mutex_);
    open_.emplace(client->id, std::move(client));
  }

  void readFrom(const Client& client) {
    const ssize_t count = ::recv(client->socket.get(), readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (count <= 0) return closeClient(client);
    auto& incoming = client->incoming;
    incoming.insert(incoming.end(), readBuffer_.begin(), readBuffer_.begin() + count);
    std::size_t consumed = 0;
    while (incoming.size() - consumed >= tokenHostMessageHeaderBytes) {
      std::array<std::uint8_t, tokenHostMessageHeaderBytes> header{};
      std::copy_n(incoming.begin() + static_cast<std::ptrdiff_t>(consumed), header.size(), header.begin());
      // An oversized message ends the connection at its header, before its body is held.
      const auto length = tokenHostMessageBodyLength(header);
      if (!length) return closeClient(client);
      if (incoming.size() - consumed - header.size() < *length) break;
      const auto request =
          decodeTokenHostRequest(ByteView(incoming).subspan(consumed + header.size(), *length));
      if (!request) return closeClient(client);
      consumed += header.size() + *length;
      if (!handle(client, *request)) return;
    }
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(consumed));
  }

  // False when the client's connection ended on the way.
  bool handle(const Client& client, const TokenHostRequest& request) {
    if (const auto* sign = std::get_if<SignDigestRequest>(&request.content)) {
      {
        const std::lock_guard lock(mutex_);
        if (signsUnderWay_ < options_.signLimit) {
          ++signsUnderWay_;
          ++client->signsUnderWay;
          jobs_.emplace_back(SignJob{client, request.requestID, *sign});
          jobsChanged_.notify_one();
          return true;
        }
      }
      return queueFromIO(client,
                         encodedAnswer(request.requestID, Error(ErrorCode::communicationError, std::string(busyText))));
    }
    std::variant<TokensAnswer, SignatureAnswer, Error> content;
    try {
      content = TokensAnswer{service_.tokens()};
    } catch (...) {
      content = Error(ErrorCode::communicationError);
    }
    return queueFromIO(client, encodedAnswer(request.requestID, std::move(content)));
  }

  // Written at once as far as the client takes it, so that a client that reads its answers never
  // comes near the limit.
  bool queueFromIO(const Client& client, const Bytes& answer) {
    {
      const std::lock_guard lock(mutex_);
      client->outgoing.insert(client->outgoing.end(), answer.begin(), answer.end());
      if (sendPending(*client) && client->outgoingPending() <= options_.outgoingBytesLimit) return true;
    }
    closeClient(client);
    return false;
  }

  void flush(const Client& client) {
    bool sent = false;
    {
      const std::lock_guard lock(mutex_);
      sent = sendPending(*client);
    }
    if (!sent) closeClient(client);
  }

  // Sends what the socket takes without waiting; false when the connection failed. Under the mutex.
  static bool sendPending(ClientConnection& client) {
    while (client.outgoingPending() > 0) {
      const ssize_t sent = ::send(client.socket.get(), client.outgoing.data() + client.outgoingSent,
                                  client.outgoingPending(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        client.outgoingSent += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno == EINTR) {
        continue;
      } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // What was sent goes, so that a client that reads slowly but never stops does not make
        // the buffer grow.
        if (client.outgoingSent >= maxTokenHostMessageBytes) {
          client.outgoing.erase(client.outgoing.begin(),
                                client.outgoing.begin() + static_cast<std::ptrdiff_t>(client.outgoingSent));
          client.outgoingSent = 0;
        }
        return true;
      } else {
        return false;
      }
    }
    client.outgoing.clear();
    client.outgoingSent = 0;
    return true;
  }

  // The service hears of the client once the last signature it asked for has returned.
  void closeClient(const Client& client) {
    if (!client->socket) return;
    {
      const std::lock_guard lock(mutex_);
      client->open = false;
      client->outgoing.clear();
      client->outgoingSent = 0;
      open_.erase(client->id);
      if (client->signsUnderWay == 0) {
        jobs_.emplace_back(GoneJob{client});
        jobsChanged_.notify_one();
      }
    }
    client->socket.reset();
    client->incoming.clear();
  }

  // ---- the workers: the service's signatures and the news of clients that went ----

  void runWorker() {
    for (;;) {
      std::optional<Job> job;
      {
        std::unique_lock lock(mutex_);
        jobsChanged_.wait(lock, [&] { return !jobs_.empty() || ioDone_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      if (auto* sign = std::get_if<SignJob>(&*job)) {
        runSign(*sign);
      } else {
        tellGone(std::get<GoneJob>(*job).client);
      }
    }
  }

  void runSign(const SignJob& job) {
    const auto& client = job.client;
    bool open = false;
    {
      const std::lock_guard lock(mutex_);
      open = client->open;
    }
    std::optional<Bytes> answer;
    // A client that went before its turn came asks for nothing more.
    if (open) {
      std::variant<TokensAnswer, SignatureAnswer, Error> content;
      try {
        auto result = service_.sign(TokenClient{client->id, client->name}, job.request.keyObjectID,
                                    job.request.algorithmID, job.request.digest);
        if (result) {
          content = SignatureAnswer{std::move(result).value()};
        } else {
          content = result.error();
        }
      } catch (...) {
        content = Error(ErrorCode::communicationError);
      }
      answer = encodedAnswer(job.requestID, std::move(content));
    }
    bool last = false;
    {
      // The answer goes out with the signature's place already free, so that a client that has its
      // answer may at once ask for the next one.
      const std::lock_guard lock(mutex_);
      --signsUnderWay_;
      last = --client->signsUnderWay == 0 && !client->open;
      if (answer && client->open) {
        client->outgoing.insert(client->outgoing.end(), answer->begin(), answer->end());
        // Only the I/O thread closes descriptors; it ends this connection at its next turn.
        if (client->outgoingPending() > options_.outgoingBytesLimit) client->overflowed = true;
      }
    }
    if (answer) wakeIO();
    if (last) tellGone(client);
  }

  // The client's place is free before the service hears of it: the clients the service is still
  // releasing are at most one per worker.
  void tellGone(const Client& client) {
    {
      const std::lock_guard lock(mutex_);
      --clients_;
    }
    try {
      service_.clientGone(client->id);
    } catch (...) {
      // The client is gone all the same.
    }
  }

  TokenHostService& service_;
  const TokenHostServerOptions options_;
  const uid_t ownEffectiveUID_;
  const std::string path_;
  UniqueFd listener_;
  struct stat socketFile_ {};
  UniqueFd wake_;

  // The I/O thread's alone.
  Bytes readBuffer_;
  std::optional<std::chrono::steady_clock::time_point> acceptPausedUntil_;

  std::mutex mutex_;
  std::condition_variable jobsChanged_;
  std::map<std::uint64_t, Client> open_;
  std::deque<Job> jobs_;
  std::size_t clients_ = 0;
  std::size_t signsUnderWay_ = 0;
  std::uint64_t nextClientID_ = 1;
  bool stopping_ = false;
  bool ioDone_ = false;

  std::vector<std::thread> workers_;
  std::thread io_;
};

TokenHostServer::TokenHostServer(const xpc::RuntimeDirectory& directory, TokenHostService& service,
                                 TokenHostServerOptions options)
    : state_(std::make_unique<State>(directory, service, options)) {}

TokenHostServer::~TokenHostServer() = default;

const std::string& TokenHostServer::socketPath() const { return state_->path(); }

void serveTokenHost(const xpc::RuntimeDirectory& directory, TokenHostService& service, std::stop_token stop,
                    TokenHostServerOptions options) {
  const TokenHostServer server(directory, service, options);
  std::mutex mutex;
  std::condition_variable_any stopped;
  std::unique_lock lock(mutex);
  stopped.wait(lock, stop, [] { return false; });
}

}  // namespace platform::tokenkit

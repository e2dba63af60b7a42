// What one call and its reply cost between two processes over the XPC layer, against the same
// bytes through a bare Unix socket in the same run.
//
//   XPCRoundTrip                 a 512-byte argument out, a 256-byte reply back, over one
//                                connection to a named service in a child process, both contexts
//                                with the default options; each end checked the other's identity
//                                record against the app's requirement when the connection was made,
//                                as the system's programs do (one I/O thread in each).
//   XPCRoundTripTwoIOThreads     the same with two I/O threads in each context.
//   RawSocketRoundTrip           the two encoded frames of that call (the same byte counts) through
//                                a blocking Unix socket to a child that reads each request and
//                                writes the reply on one thread: what the kernel alone costs.
//   RawSocketRoundTripHandedOff  the raw exchange done by a second thread that the benchmark's
//                                thread hands each call to and waits on, as the caller of any
//                                asynchronous API does: the floor under an XPC call.
//
// HandedOff - Raw is what the caller's two hand-offs cost; XPCRoundTripTwoIOThreads - XPCRoundTrip
// is what the I/O threads' scheduler costs in waking a second thread on each completion.
//
// The servers are forked before the benchmarks run, while this process has no threads; they are
// this program, so the identity record each end reads is the one this build put into it.
#include "benchmarks/raw_exchange.hpp"
#include "platform/codesign/system_code_signing.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_peer_identity.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <thread>
#include <vector>

namespace {

namespace xpc = platform::xpc;
using benchmarks::readExactly;
using benchmarks::writeAll;
using platform::Bytes;
using platform::foundation::UniqueFd;
using corvanta::CodeSigningPeerVerifier;
using corvanta::TokenPeerIdentity;

constexpr std::size_t requestBytes = 512;
constexpr std::size_t replyBytes = 256;
constexpr char selector[] = "exchange:reply:";
constexpr char rawSocketName[] = "raw";

const xpc::Interface exchangeInterface{{{selector, {xpc::Kind::bytes}, {xpc::Kind::bytes}}}};

// The peer checks of the system: the production verifier over the identity records of running
// processes, and the app's requirement for the team of this build.
std::shared_ptr<const CodeSigningPeerVerifier> productionVerifier() {
  return std::make_shared<CodeSigningPeerVerifier>(std::make_shared<platform::codesign::SystemCodeSigning>());
}

std::string appRequirement() {
  const platform::codesign::SystemCodeSigning codeSigning;
  return TokenPeerIdentity::requirement(TokenPeerIdentity::currentTeamID(codeSigning), TokenPeerIdentity::ownerID);
}

Bytes encoded(const xpc::Frame& frame) {
  auto bytes = xpc::encodeFrame(frame);
  if (!bytes) throw std::logic_error("benchmark frame does not encode");
  return std::move(*bytes);
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// A child process that serves until its lifeline (the parent's end of a pipe) closes. Its body
// runs once the child has written one byte on the ready pipe.
class ServerProcess {
public:
  template <typename Body>
  static ServerProcess fork(Body body) {
    int ready[2];
    int lifeline[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(lifeline, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("cannot fork a server");
    if (child == 0) {
      ::close(ready[0]);
      ::close(lifeline[1]);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      // The child leaves without running the parent's destructors (the temporary directory), and
      // a failure of its own never returns into the parent's code.
      bool served = false;
      try {
        served = body(UniqueFd(ready[1]), UniqueFd(lifeline[0]));
      } catch (const std::exception& error) {
        std::fprintf(stderr, "server: %s\n", error.what());
      }
      ::_exit(served ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(lifeline[0]);
    ServerProcess server(child, UniqueFd(lifeline[1]));
    const UniqueFd readyReader(ready[0]);
    char byte = 0;
    if (::read(readyReader.get(), &byte, 1) != 1) throw std::runtime_error("a server did not start");
    return server;
  }

  ServerProcess(ServerProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), lifeline_(std::move(other.lifeline_)) {}
  ServerProcess& operator=(ServerProcess&&) = delete;
  ~ServerProcess() {
    lifeline_.reset();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  static void signalReady(const UniqueFd& ready) { (void)::write(ready.get(), "R", 1); }
  static void waitForParent(const UniqueFd& lifeline) {
    char byte = 0;
    while (::read(lifeline.get(), &byte, 1) > 0) {
    }
  }

private:
  ServerProcess(pid_t pid, UniqueFd lifeline) : pid_(pid), lifeline_(std::move(lifeline)) {}

  pid_t pid_;
  UniqueFd lifeline_;
};

// The XPC server: every call is answered with the same 256 bytes.
class ExchangeServer final : public xpc::ExportedObject {
public:
  void invoke(const std::string&, xpc::Values, xpc::Reply reply) override { reply({answer_}); }

private:
  Bytes answer_ = Bytes(replyBytes, 0x5A);
};

class KeepingDelegate final : public xpc::ListenerDelegate {
public:
  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    std::lock_guard lock(mutex_);
    connection->setExportedInterface(exchangeInterface);
    connection->setExportedObject(std::make_shared<ExchangeServer>());
    connection->resume();
    connections_.push_back(std::move(connection));
    return true;
  }
  void invalidateAll() {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) connection->invalidate();
    connections_.clear();
  }

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<xpc::Connection>> connections_;
};

xpc::ContextOptions contextOptions(std::size_t ioThreads) {
  xpc::ContextOptions options{productionVerifier()};
  if (ioThreads > 0) options.ioThreads = ioThreads;
  return options;
}

bool serveXPC(const std::string& directory, const std::string& serviceName, std::size_t ioThreads,
              const UniqueFd& ready, const UniqueFd& lifeline) {
  xpc::Context context(xpc::RuntimeDirectory::at(directory), contextOptions(ioThreads));
  auto delegate = std::make_shared<KeepingDelegate>();
  auto listener = xpc::Listener::forService(context, serviceName);
  if (!listener->setConnectionCodeSigningRequirement(appRequirement())) return false;
  listener->setDelegate(delegate);
  listener->resume();
  ServerProcess::signalReady(ready);
  ServerProcess::waitForParent(lifeline);
  listener->invalidate();
  delegate->invalidateAll();
  return true;
}

bool serveRaw(const std::string& path, std::size_t requestSize, const Bytes& reply, const UniqueFd& ready,
              const UniqueFd& lifeline) {
  const UniqueFd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = addressOf(path);
  if (!listening || ::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening.get(), 4) != 0) {
    return false;
  }
  ServerProcess::signalReady(ready);
  pollfd waits[2] = {{listening.get(), POLLIN, 0}, {lifeline.get(), POLLIN, 0}};
  if (::poll(waits, 2, -1) <= 0 || !(waits[0].revents & POLLIN)) return true;
  const UniqueFd peer(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
  Bytes request(requestSize);
  while (peer && readExactly(peer.get(), request) && writeAll(peer.get(), reply)) {
  }
  return true;
}

// Waits on the benchmark's thread for the one callback of a call, which runs on an I/O thread.
class CallOutcome {
public:
  void finish(std::optional<std::size_t> replySize) {
    std::lock_guard lock(mutex_);
    replySize_ = replySize;
    done_ = true;
    changed_.notify_one();
  }
  std::optional<std::size_t> wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
    done_ = false;
    return replySize_;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::optional<std::size_t> replySize_;
};

// One exchange over the connection; the size of the reply's bytes, or none when the call failed.
std::optional<std::size_t> exchange(xpc::Connection& connection, const Bytes& request, CallOutcome& outcome) {
  connection.send(
      selector, {request},
      [&outcome](xpc::Values reply) {
        const auto* bytes = reply.empty() ? nullptr : std::get_if<Bytes>(&reply[0]);
        outcome.finish(bytes ? std::optional(bytes->size()) : std::nullopt);
      },
      [&outcome](xpc::Error) { outcome.finish(std::nullopt); });
  return outcome.wait();
}

void xpcRoundTrip(benchmark::State& state, xpc::Connection& connection) {
  const Bytes request(requestBytes, 0xA5);
  CallOutcome outcome;
  for (auto _ : state) {
    if (exchange(connection, request, outcome) != replyBytes) {
      state.SkipWithError("the call failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (requestBytes + replyBytes)));
}

void rawSocketRoundTrip(benchmark::State& state, int fd, const Bytes& requestFrame, std::size_t replyFrameSize) {
  Bytes reply(replyFrameSize);
  for (auto _ : state) {
    if (!writeAll(fd, requestFrame) || !readExactly(fd, reply)) {
      state.SkipWithError("the raw exchange failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (requestBytes + replyBytes)));
}

// The raw exchange on a worker thread: the benchmark's thread hands it each call and waits for its
// end, one wake-up each way, which is what an XPC caller cannot avoid.
void rawSocketRoundTripHandedOff(benchmark::State& state, int fd, const Bytes& requestFrame,
                                 std::size_t replyFrameSize) {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t requested = 0;
  std::uint64_t answered = 0;
  bool failed = false;
  bool stop = false;
  std::thread worker([&] {
    Bytes reply(replyFrameSize);
    std::unique_lock lock(mutex);
    while (true) {
      changed.wait(lock, [&] { return stop || requested > answered; });
      if (stop) return;
      lock.unlock();
      const bool exchanged = writeAll(fd, requestFrame) && readExactly(fd, reply);
      lock.lock();
      failed = failed || !exchanged;
      answered += 1;
      changed.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock lock(mutex);
    requested += 1;
    changed.notify_all();
    changed.wait(lock, [&] { return answered == requested; });
    if (failed) {
      state.SkipWithError("the raw exchange failed");
      break;
    }
  }
  {
    std::lock_guard lock(mutex);
    stop = true;
    changed.notify_all();
  }
  worker.join();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (requestBytes + replyBytes)));
}

// One client end: a context of this process and its connection to a server child, made and
// checked by one call before anything is measured.
class XPCClient {
public:
  XPCClient(const std::string& directory, const std::string& serviceName, std::size_t ioThreads)
      : context_(xpc::RuntimeDirectory::at(directory), contextOptions(ioThreads)),
        connection_(xpc::Connection::toService(context_, serviceName)) {
    if (!connection_->setCodeSigningRequirement(appRequirement())) {
      throw std::runtime_error("the verifier refuses the app's requirement");
    }
    connection_->setRemoteInterface(exchangeInterface);
    connection_->resume();
    CallOutcome outcome;
    if (exchange(*connection_, Bytes(requestBytes), outcome) != replyBytes) {
      throw std::runtime_error("the first call to " + serviceName +
                               " failed: a peer check refused a side, or the server is gone");
    }
  }
  ~XPCClient() { connection_->invalidate(); }
  XPCClient(const XPCClient&) = delete;
  XPCClient& operator=(const XPCClient&) = delete;

  xpc::Connection& connection() { return *connection_; }

private:
  xpc::Context context_;
  std::shared_ptr<xpc::Connection> connection_;
};

template <typename Function>
void registerMedianOf15(const char* name, Function function) {
  benchmark::RegisterBenchmark(name, std::move(function))->UseRealTime()->Repetitions(15)->ReportAggregatesOnly(true);
}

int run(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // The frames the layer puts on the wire for this call, so that the raw socket moves as many bytes.
  const Bytes requestFrame = encoded({xpc::FrameType::call, 1, selector, {xpc::Kind::bytes}, {Bytes(requestBytes, 0xA5)}});
  const Bytes replyFrame = encoded({xpc::FrameType::reply, 1, {}, {xpc::Kind::bytes}, {Bytes(replyBytes, 0x5A)}});

  const platform::foundation::testing::TemporaryDirectory temporary("/tmp");
  const std::string directory = (temporary.path() / "run").string();
  const std::string rawPath = (temporary.path() / rawSocketName).string();
  // The runtime directory exists before any child, so that none races another to make it.
  (void)xpc::RuntimeDirectory::at(directory);

  // Forked while this process has no threads: no context of this process exists before all do.
  constexpr std::size_t defaultIOThreads = 0;
  const ServerProcess xpcServer = ServerProcess::fork([&](UniqueFd ready, UniqueFd lifeline) {
    return serveXPC(directory, "exchange", defaultIOThreads, ready, lifeline);
  });
  const ServerProcess twoThreadServer = ServerProcess::fork([&](UniqueFd ready, UniqueFd lifeline) {
    return serveXPC(directory, "exchange-two-threads", 2, ready, lifeline);
  });
  const ServerProcess rawServer = ServerProcess::fork([&](UniqueFd ready, UniqueFd lifeline) {
    return serveRaw(rawPath, requestFrame.size(), replyFrame, ready, lifeline);
  });

  const UniqueFd raw(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un rawAddress = addressOf(rawPath);
  if (!raw || ::connect(raw.get(), reinterpret_cast<const sockaddr*>(&rawAddress), sizeof rawAddress) != 0) {
    throw std::runtime_error("cannot reach the raw server");
  }
  XPCClient client(directory, "exchange", defaultIOThreads);
  XPCClient twoThreadClient(directory, "exchange-two-threads", 2);

  registerMedianOf15("XPCRoundTrip", [&](benchmark::State& state) { xpcRoundTrip(state, client.connection()); });
  registerMedianOf15("XPCRoundTripTwoIOThreads",
                     [&](benchmark::State& state) { xpcRoundTrip(state, twoThreadClient.connection()); });
  registerMedianOf15("RawSocketRoundTrip", [&](benchmark::State& state) {
    rawSocketRoundTrip(state, raw.get(), requestFrame, replyFrame.size());
  });
  registerMedianOf15("RawSocketRoundTripHandedOff", [&](benchmark::State& state) {
    rawSocketRoundTripHandedOff(state, raw.get(), requestFrame, replyFrame.size());
  });
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}

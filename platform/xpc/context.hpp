#pragma once

#include "platform/xpc/peer_verifier.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::xpc {

// Starts the program behind a named service on demand, as the platform's service manager does:
// a connection to a service that nothing listens on asks it before giving up.
class ServiceLauncher {
public:
  virtual ~ServiceLauncher() = default;
  // Called off the I/O threads, and again while the connection waits for the service to listen.
  // True while the service's program runs or was just started, so that connecting again is worth
  // it; false when no program serves the name (or it may not be started now).
  virtual bool launch(const std::string& serviceName) = 0;
};

struct ContextOptions {
  // Evaluates code-signing requirements; without one, no requirement can be set.
  std::shared_ptr<const PeerVerifier> verifier;
  // Threads that run every connection's and listener's work and call their callbacks. One is the
  // default: callbacks never block (blocking work goes elsewhere), and with a second thread each
  // completion wakes it, which costs more than the work it hands over.
  std::size_t ioThreads = 1;
  // Connections the kernel holds for a listener before they are accepted (the listen backlog).
  int pendingConnectionLimit = 16;
  // Bytes a connection may hold queued for a peer that does not read them.
  std::size_t outgoingBytesLimit = 1024 * 1024;
  // Asked when a connection to a named service finds nothing listening; without one, such a
  // connection fails at once.
  std::shared_ptr<ServiceLauncher> launcher = nullptr;
  // How long a connection keeps trying to connect after the launcher answered that the service's
  // program runs, before it fails.
  std::chrono::milliseconds launchWait = std::chrono::seconds(5);
};

// The settings every listener and connection of a context shares.
struct ContextSettings {
  std::string runtimeDirectory;
  std::shared_ptr<const PeerVerifier> verifier;
  int pendingConnectionLimit;
  std::size_t outgoingBytesLimit;
  std::shared_ptr<ServiceLauncher> launcher = nullptr;
  std::chrono::milliseconds launchWait;
};

// The I/O threads and settings of the layer in one process; nothing of the layer is process-wide
// beyond it. Listeners and connections are made from a context and must be gone before it is.
// Destruction waits for a launch in progress, stops and joins the threads, then destroys the work
// still pending on them; it must not run on one of its own threads.
class Context {
public:
  explicit Context(RuntimeDirectory directory, ContextOptions options = {});
  ~Context();

  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const std::shared_ptr<const ContextSettings>& settings() const { return settings_; }
  boost::asio::io_context::executor_type executor() { return io_.get_executor(); }
  // Where the launcher is called: a thread of its own, since a launch may block for a moment and
  // the I/O threads must go on meanwhile. None without a launcher.
  std::optional<boost::asio::thread_pool::executor_type> launchExecutor();

private:
  // Asio keeps shutdown protected; the context needs it to destroy pending work (which holds
  // connections) while the sockets' services still exist.
  struct IOContext : boost::asio::io_context {
    using io_context::io_context;
    using execution_context::shutdown;
  };

  std::shared_ptr<const ContextSettings> settings_;
  IOContext io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning_;
  std::vector<std::thread> threads_;
  std::optional<boost::asio::thread_pool> launching_;
};

}  // namespace platform::xpc

#pragma once

#include "platform/xpc/peer_verifier.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace platform::xpc {

struct ContextOptions {
  // Evaluates code-signing requirements; without one, no requirement can be set.
  std::shared_ptr<const PeerVerifier> verifier;
  // Threads that run every connection's and listener's work and call their callbacks.
  std::size_t ioThreads = 2;
  // Connections the kernel holds for a listener before they are accepted (the listen backlog).
  int pendingConnectionLimit = 16;
  // Bytes a connection may hold queued for a peer that does not read them.
  std::size_t outgoingBytesLimit = 1024 * 1024;
};

// The settings every listener and connection of a context shares.
struct ContextSettings {
  std::string runtimeDirectory;
  std::shared_ptr<const PeerVerifier> verifier;
  int pendingConnectionLimit;
  std::size_t outgoingBytesLimit;
};

// The I/O threads and settings of the layer in one process; nothing of the layer is process-wide
// beyond it. Listeners and connections are made from a context and must be gone before it is.
// Destruction stops and joins the threads, then destroys the work still pending on them; it must
// not run on one of its own threads.
class Context {
public:
  explicit Context(RuntimeDirectory directory, ContextOptions options = {});
  ~Context();

  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const std::shared_ptr<const ContextSettings>& settings() const { return settings_; }
  boost::asio::io_context::executor_type executor() { return io_.get_executor(); }

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
};

}  // namespace platform::xpc

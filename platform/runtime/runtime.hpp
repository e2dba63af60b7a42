#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <cstddef>
#include <optional>
#include <thread>
#include <vector>

namespace platform::runtime {

struct RuntimeOptions {
  // Threads that run the I/O executor: sockets, timers, actors' strands.
  std::size_t ioThreads = 1;
  // Threads of the blocking pool, for work that blocks (see runBlocking).
  std::size_t blockingThreads = 4;
};

// The executors of a process. One object owns them all and stops them when destroyed; there is
// no other process-wide state. Hand the executors to the objects that need them; nothing reaches
// the runtime itself from afar.
//
// - io(): the I/O executor, run by the runtime's own threads. Actors put their strands on it.
// - blocking(): the blocking pool. Never block an I/O thread; never run a coroutine that waits
//   for long on the pool.
// - main(): the executor of the main actor, where the application model and its views run. The
//   app passes the executor of its window system's event loop (a PostingContext over the Qt
//   event loop); a test passes an io_context that it runs itself; a program without a window
//   passes none and gets a strand on the I/O executor.
//
// Destruction stops the threads and joins them, then destroys the work still pending on the I/O
// executor and the blocking pool, while both still exist; a task torn down this way ends its
// waiters with CancellationError. Around that, the usual Asio order holds: a context that awaits
// the runtime's work (the main context, a test's io_context) is created before the runtime and
// destroyed after it, and objects that hold the runtime's strands, timers or tasks (actors, task
// handles) are gone before it. Let work end, or cancel it and let it drain, before tearing down.
class Runtime {
public:
  explicit Runtime(RuntimeOptions options = {});
  explicit Runtime(boost::asio::any_io_executor main, RuntimeOptions options = {});
  ~Runtime();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  boost::asio::any_io_executor io() const;
  boost::asio::any_io_executor blocking() const;
  boost::asio::any_io_executor main() const;

private:
  // Asio keeps these protected; the runtime needs them to destroy the pending work of both
  // contexts before either context goes away, because that work refers across them.
  struct IOContext : boost::asio::io_context {
    using io_context::io_context;
    using execution_context::shutdown;
  };
  struct BlockingPool : boost::asio::thread_pool {
    using thread_pool::thread_pool;
    using execution_context::shutdown;
  };

  void stop();

  IOContext io_;
  BlockingPool blocking_;
  boost::asio::any_io_executor ioExecutor_;
  boost::asio::any_io_executor blockingExecutor_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning_;
  std::vector<std::thread> ioThreads_;
  boost::asio::any_io_executor main_;
};

}  // namespace platform::runtime

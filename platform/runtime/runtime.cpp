#include "platform/runtime/runtime.hpp"

#include <boost/asio/strand.hpp>

#include <algorithm>

namespace platform::runtime {

Runtime::Runtime(RuntimeOptions options) : Runtime(boost::asio::any_io_executor(), options) {}

Runtime::Runtime(boost::asio::any_io_executor main, RuntimeOptions options)
    : io_(static_cast<int>(std::max<std::size_t>(options.ioThreads, 1))),
      blocking_(std::max<std::size_t>(options.blockingThreads, 1)),
      ioExecutor_(io_.get_executor()),
      blockingExecutor_(blocking_.get_executor()),
      keepRunning_(boost::asio::make_work_guard(io_)),
      main_(main ? std::move(main) : boost::asio::any_io_executor(boost::asio::make_strand(io_))) {
  const auto threads = std::max<std::size_t>(options.ioThreads, 1);
  ioThreads_.reserve(threads);
  try {
    for (std::size_t i = 0; i < threads; ++i) {
      ioThreads_.emplace_back([this] { io_.run(); });
    }
  } catch (...) {
    stop();
    throw;
  }
}

Runtime::~Runtime() { stop(); }

void Runtime::stop() {
  keepRunning_.reset();
  io_.stop();
  blocking_.stop();
  for (auto& thread : ioThreads_) {
    thread.join();
  }
  ioThreads_.clear();
  blocking_.join();
  // Destroying a pending handler can post another into either context (a torn-down task resumes
  // its waiters with CancellationError); each round destroys what the previous one posted.
  for (int round = 0; round < 8; ++round) {
    io_.shutdown();
    blocking_.shutdown();
  }
}

boost::asio::any_io_executor Runtime::io() const { return ioExecutor_; }

boost::asio::any_io_executor Runtime::blocking() const { return blockingExecutor_; }

boost::asio::any_io_executor Runtime::main() const { return main_; }

}  // namespace platform::runtime

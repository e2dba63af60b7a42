#include "platform/xpc/context.hpp"

#include <algorithm>

namespace platform::xpc {

Context::Context(RuntimeDirectory directory, ContextOptions options)
    : settings_(std::make_shared<const ContextSettings>(ContextSettings{
          directory.path(), std::move(options.verifier), std::max(1, options.pendingConnectionLimit),
          options.outgoingBytesLimit, std::move(options.launcher), options.launchWait})),
      io_(static_cast<int>(std::max<std::size_t>(1, options.ioThreads))),
      keepRunning_(io_.get_executor()) {
  const std::size_t count = std::max<std::size_t>(1, options.ioThreads);
  threads_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { io_.run(); });
  if (settings_->launcher) launching_.emplace(1);
}

Context::~Context() {
  keepRunning_.reset();
  // A launch in progress finishes and posts its answer while the I/O threads still run; launches
  // not begun are dropped with the pool, before the I/O objects they hold go.
  if (launching_) {
    launching_->stop();
    launching_->join();
  }
  io_.stop();
  for (auto& thread : threads_) thread.join();
  io_.shutdown();
  launching_.reset();
}

std::optional<boost::asio::thread_pool::executor_type> Context::launchExecutor() {
  if (!launching_) return std::nullopt;
  return launching_->get_executor();
}

}  // namespace platform::xpc

#include "platform/xpc/context.hpp"

#include <algorithm>

namespace platform::xpc {

Context::Context(RuntimeDirectory directory, ContextOptions options)
    : settings_(std::make_shared<const ContextSettings>(ContextSettings{
          directory.path(), std::move(options.verifier), std::max(1, options.pendingConnectionLimit),
          options.outgoingBytesLimit})),
      io_(static_cast<int>(std::max<std::size_t>(1, options.ioThreads))),
      keepRunning_(io_.get_executor()) {
  const std::size_t count = std::max<std::size_t>(1, options.ioThreads);
  threads_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { io_.run(); });
}

Context::~Context() {
  keepRunning_.reset();
  io_.stop();
  for (auto& thread : threads_) thread.join();
  io_.shutdown();
}

}  // namespace platform::xpc

#include "platform/runtime/posting_context.hpp"

namespace platform::runtime {

PostingContext::PostingContext(Submit submit) : core_(std::make_shared<Core>(std::move(submit))) {}

PostingContext::~PostingContext() {
  core_->close();
  shutdown();
}

PostingContext::executor_type PostingContext::get_executor() noexcept { return executor_type(*this, core_); }

void PostingContext::Core::enqueue(std::unique_ptr<Pending> pending) {
  std::uint64_t id = 0;
  {
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return;
    }
    id = nextID_++;
    pending_.emplace(id, std::move(pending));
  }
  submit_([weak = weak_from_this(), id] {
    if (const auto core = weak.lock()) {
      core->run(id);
    }
  });
}

void PostingContext::Core::run(std::uint64_t id) {
  std::unique_ptr<Pending> pending;
  {
    const std::lock_guard lock(mutex_);
    const auto found = pending_.find(id);
    if (found == pending_.end()) {
      return;
    }
    pending = std::move(found->second);
    pending_.erase(found);
  }
  pending->run();
}

void PostingContext::Core::close() {
  std::map<std::uint64_t, std::unique_ptr<Pending>> dropped;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(pending_);
  }
  // Destroyed outside the lock: a handler being destroyed may try to post here again.
}

}  // namespace platform::runtime

#pragma once

#include <boost/asio/execution/blocking.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace platform::runtime {

// An execution context whose handlers run on an event loop that someone else drives: the seam
// through which the app makes its window system's event loop the main executor. The app gives a
// function that queues a job on that loop (over Qt, a queued invocation on the application
// object); everything posted to this context's executor then runs on the loop's thread, one job
// at a time and in order, as long as the loop does that.
//
// The loop's jobs only refer to the handlers, which the context keeps: destroying the context
// destroys the handlers not yet run, while the context's services still exist, and the jobs
// left on the loop then do nothing.
class PostingContext : public boost::asio::execution_context {
public:
  using Job = std::function<void()>;
  // Must queue the job and return at once; it may be called from any thread.
  using Submit = std::function<void(Job)>;

  class executor_type;

  explicit PostingContext(Submit submit);
  ~PostingContext();

  PostingContext(const PostingContext&) = delete;
  PostingContext& operator=(const PostingContext&) = delete;

  executor_type get_executor() noexcept;

private:
  struct Pending {
    virtual ~Pending() = default;
    virtual void run() = 0;
  };

  template <typename Function>
  struct PendingFunction final : Pending {
    explicit PendingFunction(Function function) : function(std::move(function)) {}
    void run() override { std::move(function)(); }
    Function function;
  };

  class Core : public std::enable_shared_from_this<Core> {
  public:
    explicit Core(Submit submit) : submit_(std::move(submit)) {}
    void enqueue(std::unique_ptr<Pending> pending);
    void run(std::uint64_t id);
    void close();

  private:
    Submit submit_;
    std::mutex mutex_;
    bool closed_ = false;
    std::uint64_t nextID_ = 0;
    std::map<std::uint64_t, std::unique_ptr<Pending>> pending_;
  };

  std::shared_ptr<Core> core_;
};

class PostingContext::executor_type {
public:
  boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept { return *context_; }

  // A job always runs later on the loop, never inside the call that submits it.
  static constexpr boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) noexcept {
    return boost::asio::execution::blocking.never;
  }
  executor_type require(boost::asio::execution::blocking_t::never_t) const noexcept { return *this; }

  template <typename Function>
  void execute(Function&& function) const {
    core_->enqueue(std::make_unique<PendingFunction<std::decay_t<Function>>>(std::forward<Function>(function)));
  }

  friend bool operator==(const executor_type& a, const executor_type& b) noexcept { return a.core_ == b.core_; }
  friend bool operator!=(const executor_type& a, const executor_type& b) noexcept { return !(a == b); }

private:
  friend class PostingContext;
  executor_type(PostingContext& context, std::shared_ptr<Core> core) noexcept
      : context_(&context), core_(std::move(core)) {}

  PostingContext* context_;
  std::shared_ptr<Core> core_;
};

}  // namespace platform::runtime

#pragma once

#include <exception>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform::runtime::detail {

// The end of an operation: nothing yet, a value (nothing for void), or the error it threw.
template <typename T>
class Outcome {
public:
  using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  bool isSet() const noexcept { return state_.index() != 0; }

  void setValue(Stored value) { state_.template emplace<1>(std::move(value)); }
  void setError(std::exception_ptr error) { state_.template emplace<2>(std::move(error)); }

  // The value, or the stored error rethrown.
  T get() const& {
    checkSet();
    if (state_.index() == 2) {
      std::rethrow_exception(std::get<2>(state_));
    }
    if constexpr (!std::is_void_v<T>) {
      return std::get<1>(state_);
    }
  }

  T take() && {
    checkSet();
    if (state_.index() == 2) {
      std::rethrow_exception(std::get<2>(state_));
    }
    if constexpr (!std::is_void_v<T>) {
      return std::move(std::get<1>(state_));
    }
  }

private:
  void checkSet() const {
    if (state_.index() == 0) {
      throw std::logic_error("the operation has not ended");
    }
  }

  std::variant<std::monostate, Stored, std::exception_ptr> state_;
};

}  // namespace platform::runtime::detail

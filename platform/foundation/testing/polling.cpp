#include "platform/foundation/testing/polling.hpp"

#include <system_error>
#include <thread>

namespace platform::foundation::testing {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit,
                std::chrono::milliseconds interval) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

bool holdsFileEndingIn(const std::filesystem::path& directory, std::string_view suffix) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().filename().string().ends_with(suffix)) return true;
  }
  return false;
}

}  // namespace platform::foundation::testing

#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>

namespace platform::foundation::testing {

// Polls `done` every `interval` until it holds, and says whether it did; false once `limit` of
// real time has passed. For what another process brings about, where there is nothing to wait on.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit,
                std::chrono::milliseconds interval = std::chrono::milliseconds(10));

// Whether a file whose name ends in `suffix` lies anywhere below `directory`; false when the
// directory cannot be read (it may not exist yet).
bool holdsFileEndingIn(const std::filesystem::path& directory, std::string_view suffix);

}  // namespace platform::foundation::testing

#pragma once

#include <string>

namespace platform::security {

// Overwrites the text's bytes where they lie, in a way the compiler does not drop as a dead store,
// and leaves it empty. For one-time codes and other secrets once they have been handed on.
void wipeSecret(std::string& secret) noexcept;

}  // namespace platform::security

#include "token-support/token_update_state.hpp"

#include <sys/stat.h>

namespace corvanta {

bool TokenUpdateState::isInstalling(const std::filesystem::path& markerPath) {
  struct stat status {};
  return ::stat(markerPath.c_str(), &status) == 0;
}

}  // namespace corvanta

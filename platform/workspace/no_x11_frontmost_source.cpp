#include "platform/workspace/x11_frontmost_source.hpp"

namespace platform::workspace {

bool readsX11Displays() { return false; }

std::unique_ptr<FrontmostProcessSource> openX11FrontmostSource(std::string, FrontmostProcessSource::Activated) {
  return nullptr;
}

}  // namespace platform::workspace

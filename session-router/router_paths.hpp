#pragma once

#include <filesystem>
#include <optional>

namespace corvanta {

// The only places the router looks at. The program itself uses standard(); tests give their own.
struct RouterPaths {
  // While this exists an installation is in progress and the router does not start.
  std::filesystem::path installationMarker;
  // Where its service sockets are made; none for the user's runtime directory (computed from the
  // effective user, never from the environment).
  std::optional<std::filesystem::path> runtimeDirectory;

  static RouterPaths standard();
};

}  // namespace corvanta

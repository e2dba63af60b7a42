#pragma once

#include <filesystem>

namespace platform::servicemanagement {

// Where the layer finds and keeps things. Tests give directories of their own; the programs use
// forCurrentUser().
struct ServicePaths {
  // The app bundle, whose agents' property lists are in Contents/Library/LaunchAgents.
  std::filesystem::path bundle;
  // The user's registrations.
  std::filesystem::path stateDirectory;
  // The user's runtime directory, where the agents' service sockets are.
  std::filesystem::path runtimeDirectory;

  std::filesystem::path launchAgentsDirectory() const { return bundle / "Contents/Library/LaunchAgents"; }

  // The bundle where the package installs it, ~/.config/ro.corvanta.sm of the effective user (from the user
  // database, not the environment) and the user's runtime directory.
  static ServicePaths forCurrentUser();
};

}  // namespace platform::servicemanagement

#pragma once

#include <filesystem>

namespace corvanta {

// Whether an installation of the system is in progress.
struct TokenUpdateState {
  // Written and removed by the installer check, which alone looks at its content and owner.
  static inline const std::filesystem::path installationMarkerPath = "/run/ro.corvanta.sign.installing";

  // True while the marker exists, whatever it holds. A symbolic link counts by what it points
  // to, and a marker that cannot be examined counts as absent.
  static bool isInstalling(const std::filesystem::path& markerPath = installationMarkerPath);
};

}  // namespace corvanta

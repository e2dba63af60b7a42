#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform::tokenkit {

// Where installed token drivers say which executable serves them: one file per driver,
// <directory>/<driverID>.json, holding a JSON object with "executable", the absolute path of the
// token extension to start, and "principal", the name of the driver class the extension builds
// (for the reader: the extension knows its own). Other keys are ignored.
inline constexpr std::string_view defaultDriverManifestDirectory = "/usr/share/ro.corvanta.ctk/drivers";

struct DriverManifest {
  std::filesystem::path executable;

  friend bool operator==(const DriverManifest&, const DriverManifest&) = default;
};

// The manifest of the driver, or none when it has none that reads: no such file, a link, no
// regular file, larger than 64 KiB, not the JSON described above, an executable that is not an
// absolute path; and for a driver identifier that cannot be a file name of its own (empty, with a
// '/' or a NUL, starting with '.').
std::optional<DriverManifest> readDriverManifest(const std::filesystem::path& directory, const std::string& driverID);

// The manifest in a file's contents, by the rules above.
std::optional<DriverManifest> parseDriverManifest(std::string_view contents);

}  // namespace platform::tokenkit

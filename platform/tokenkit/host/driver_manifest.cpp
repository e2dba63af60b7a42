#include "platform/tokenkit/host/driver_manifest.hpp"

#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace platform::tokenkit {
namespace {

constexpr std::size_t maximumManifestSize = 64 * 1024;

bool isManifestName(const std::string& driverID) {
  return !driverID.empty() && driverID.front() != '.' && driverID.find('/') == std::string::npos &&
         driverID.find('\0') == std::string::npos;
}

std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path) {
  const foundation::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file) return std::nullopt;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > maximumManifestSize) {
    return std::nullopt;
  }
  std::string contents(maximumManifestSize + 1, '\0');
  std::size_t filled = 0;
  while (filled < contents.size()) {
    const auto count = ::read(file.get(), contents.data() + filled, contents.size() - filled);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(count);
  }
  // A file that grew while it was read is no more trusted than one that was too large.
  if (filled > maximumManifestSize) return std::nullopt;
  contents.resize(filled);
  return contents;
}

}  // namespace

std::optional<DriverManifest> parseDriverManifest(std::string_view contents) {
  try {
    const auto document = foundation::parseJSON(contents);
    const auto reader = foundation::JSONObjectReader::root(document);
    const std::filesystem::path executable = reader.required<std::string>("executable");
    reader.required<std::string>("principal");
    if (!executable.is_absolute() || executable.native().find('\0') != std::string::npos) return std::nullopt;
    return DriverManifest{executable};
  } catch (const foundation::DecodingError&) {
    return std::nullopt;
  }
}

std::optional<DriverManifest> readDriverManifest(const std::filesystem::path& directory, const std::string& driverID) {
  if (!isManifestName(driverID)) return std::nullopt;
  const auto contents = readSmallRegularFile(directory / (driverID + ".json"));
  if (!contents) return std::nullopt;
  return parseDriverManifest(*contents);
}

}  // namespace platform::tokenkit

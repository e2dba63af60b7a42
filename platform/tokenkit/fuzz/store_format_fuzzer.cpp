#include "platform/tokenkit/store_format.hpp"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

namespace tokenkit = platform::tokenkit;

// Whatever a file of the store holds, reading it gives a value or none; and since every valid
// file has one encoding, what was read is written back byte for byte.
void checkConfiguration(platform::ByteView file) {
  const auto configuration = tokenkit::decodeTokenConfiguration(file);
  if (!configuration) return;
  const auto again = tokenkit::encodeTokenConfiguration(*configuration);
  if (!again || !std::equal(again->begin(), again->end(), file.begin(), file.end())) std::abort();
}

void checkManifest(platform::ByteView file) {
  const auto driverID = tokenkit::decodeDriverManifest(file);
  if (!driverID) return;
  const auto again = tokenkit::encodeDriverManifest(*driverID);
  if (!again || !std::equal(again->begin(), again->end(), file.begin(), file.end())) std::abort();
}

void checkFileName(platform::ByteView file) {
  const std::string_view name(reinterpret_cast<const char*>(file.data()), file.size());
  const auto identifier = tokenkit::identifierOfFileName(name);
  if (!identifier) return;
  if (tokenkit::identifierFileName(*identifier) != name) std::abort();
  if (name.find('/') != std::string_view::npos || name.starts_with('.')) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::ByteView file(data, size);
  checkConfiguration(file);
  checkManifest(file);
  checkFileName(file);
  return 0;
}

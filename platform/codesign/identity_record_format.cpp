#include "platform/codesign/identity_record_format.hpp"

#include <algorithm>

namespace platform::codesign::record_format {

namespace {

// The text of a field, and a check that every byte after it is zero: a field with anything
// hidden behind its stated length is not a record the build wrote.
std::optional<std::string> fieldText(std::span<const unsigned char> field, std::size_t length) {
  if (length > field.size()) return std::nullopt;
  const auto padding = field.subspan(length);
  if (!std::all_of(padding.begin(), padding.end(), [](unsigned char byte) { return byte == 0; })) {
    return std::nullopt;
  }
  return std::string(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace

std::optional<IdentityRecord> decode(std::span<const unsigned char, size> bytes) {
  if (!std::equal(magic.begin(), magic.end(), bytes.begin())) return std::nullopt;
  if (bytes[8] != version || bytes[11] != 0) return std::nullopt;
  auto identifier = fieldText(bytes.subspan(identifierOffset, identifierCapacity), bytes[9]);
  auto teamID = fieldText(bytes.subspan(teamIDOffset, teamIDCapacity), bytes[10]);
  if (!identifier || !teamID || !isValidIdentifier(*identifier) || !isValidTeamID(*teamID)) return std::nullopt;
  return IdentityRecord{std::move(*identifier), std::move(*teamID)};
}

}  // namespace platform::codesign::record_format

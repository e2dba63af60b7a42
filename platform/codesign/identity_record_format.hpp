#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::codesign {

// What the build states about one executable: the code identifier of the program and the team
// identifier of the build that made it.
struct IdentityRecord {
  std::string identifier;
  std::string teamID;

  friend bool operator==(const IdentityRecord&, const IdentityRecord&) = default;
};

// The identity record as it lies in an executable: the whole content of the ELF section
// `sectionName`, exactly `size` bytes, single bytes only so that it reads the same on every
// architecture:
//
//   offset  0  8 bytes  magic "CORVIDRC"
//   offset  8  1 byte   version, 1
//   offset  9  1 byte   length of the identifier, 1 to 128
//   offset 10  1 byte   length of the team identifier, 1 to 32
//   offset 11  1 byte   zero
//   offset 12  128 bytes identifier, then zero bytes to the end of the field
//   offset 140 32 bytes  team identifier, then zero bytes to the end of the field
//
// The character sets leave out everything that could be taken for part of a requirement text
// (quotes, blanks, backslashes), so a record can never satisfy a text it was not built for.
namespace record_format {

inline constexpr std::string_view sectionName = ".corvanta_identity";
inline constexpr std::array<unsigned char, 8> magic{'C', 'O', 'R', 'V', 'I', 'D', 'R', 'C'};
inline constexpr std::uint8_t version = 1;
inline constexpr std::size_t identifierOffset = 12;
inline constexpr std::size_t identifierCapacity = 128;
inline constexpr std::size_t teamIDOffset = identifierOffset + identifierCapacity;
inline constexpr std::size_t teamIDCapacity = 32;
inline constexpr std::size_t size = teamIDOffset + teamIDCapacity;

using Bytes = std::array<unsigned char, size>;

// Letters, digits, "." and "-": the characters of a reverse-DNS code identifier.
constexpr bool isIdentifierCharacter(char character) {
  return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
         (character >= '0' && character <= '9') || character == '.' || character == '-';
}

// Capital letters and digits, as team identifiers are issued.
constexpr bool isTeamIDCharacter(char character) {
  return (character >= 'A' && character <= 'Z') || (character >= '0' && character <= '9');
}

constexpr bool isValidIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > identifierCapacity) return false;
  for (const char character : identifier) {
    if (!isIdentifierCharacter(character)) return false;
  }
  return true;
}

constexpr bool isValidTeamID(std::string_view teamID) {
  if (teamID.empty() || teamID.size() > teamIDCapacity) return false;
  for (const char character : teamID) {
    if (!isTeamIDCharacter(character)) return false;
  }
  return true;
}

// None for an identifier or team identifier outside the format. Usable in a constant
// initializer, which is how the build's generated source writes a record.
constexpr std::optional<Bytes> encode(std::string_view identifier, std::string_view teamID) {
  if (!isValidIdentifier(identifier) || !isValidTeamID(teamID)) return std::nullopt;
  Bytes bytes{};
  for (std::size_t index = 0; index < magic.size(); ++index) bytes[index] = magic[index];
  bytes[8] = version;
  bytes[9] = static_cast<unsigned char>(identifier.size());
  bytes[10] = static_cast<unsigned char>(teamID.size());
  for (std::size_t index = 0; index < identifier.size(); ++index) {
    bytes[identifierOffset + index] = static_cast<unsigned char>(identifier[index]);
  }
  for (std::size_t index = 0; index < teamID.size(); ++index) {
    bytes[teamIDOffset + index] = static_cast<unsigned char>(teamID[index]);
  }
  return bytes;
}

// None unless the bytes are exactly what encode makes of some valid identifier and team.
std::optional<IdentityRecord> decode(std::span<const unsigned char, size> bytes);

}  // namespace record_format

}  // namespace platform::codesign

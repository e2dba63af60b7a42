#pragma once

// The files of the token-kit store and the names they are kept under. Every process that reads or
// writes the store (the app that publishes tokens, the token host that loads them) goes through
// these functions, so the format has one definition.
//
// Layout under the store's directory (every directory mode 0700, owned by the user):
//
//   lock                       empty; writers hold flock(LOCK_EX) on it for the whole write
//   generation                 the change counter, see encodeGeneration
//   drivers/<driver>/manifest  present once the driver is installed, see encodeDriverManifest
//   drivers/<driver>/<instance>.token
//                              one token configuration, see encodeTokenConfiguration
//   .tmp-<random>              (in any of these directories) a file being written; a writer that
//                              holds the lock removes any it finds, left by a writer that died
//
// <driver> and <instance> are identifiers turned into file names by identifierFileName.
//
// Binary forms: integers are unsigned big-endian unless said otherwise; a "string" or "bytes" is a
// u32 length followed by that many bytes. Each file starts with a four-byte magic and a u8 version
// (1) and ends exactly where its last field ends. Readers are strict: a file that breaks any rule
// below, or is longer than maximumStoreFileSize, is read as absent; nothing else is ever reported.
// Every valid file has exactly one encoding, so re-encoding what was read gives the file back.
//
// Token configuration ("CTKT"):
//   string instanceID          a valid identifier, the same as the one its file name gives
//   u8     data present        0 (no configuration data, nothing follows) or 1 (bytes follow)
//   bytes  configuration data
//   u32    item count, then each item:
//     u8 kind                  1 certificate, 2 key
//     string objectID, string label, bytes certificateDER
//     key only:
//       u8  capabilities       bit 0 canSign, 1 canDecrypt, 2 canPerformKeyExchange,
//                              3 isSuitableForLogin; the other bits zero
//       u32 constraint count, then each constraint, in strictly ascending operation order:
//         i32 operation number (two's complement)
//         u8  kind             0 false, 1 true, 2 text (a string follows)
//
// Driver manifest ("CTKD"): string driverID, the same as the one its directory name gives.
// Generation ("CTKG"): u64 counter.

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::tokenkit {

// No file of the store is read or written beyond this size. A configuration holds at most a few
// certificates and an identity's JSON; a larger file can only be damage or an attack.
inline constexpr std::size_t maximumStoreFileSize = std::size_t{1} << 20;

// A driver or token instance identifier is 1 to 128 bytes without NUL whose file name
// (identifierFileName) is at most 240 bytes, leaving room for a suffix within NAME_MAX.
inline constexpr std::size_t maximumIdentifierLength = 128;
inline constexpr std::size_t maximumIdentifierFileNameLength = 240;

bool isValidIdentifier(std::string_view identifier);

// The file name of a valid identifier (none for any other): the letters, digits, '-', '_' and '.'
// stay, except a leading '.'; every other byte becomes '%' and two upper-case hexadecimal digits.
// So no name is ".", "..", contains '/', or starts with '.' (the temporary files' prefix).
std::optional<std::string> identifierFileName(std::string_view identifier);

// The identifier of a file name that identifierFileName gives; none for any other name.
std::optional<std::string> identifierOfFileName(std::string_view fileName);

// One token configuration as its file holds it.
struct StoredTokenConfiguration {
  std::string instanceID;
  std::optional<Bytes> configurationData;
  std::vector<KeychainItem> keychainItems;

  friend bool operator==(const StoredTokenConfiguration&, const StoredTokenConfiguration&) = default;
};

// None when the configuration cannot be written in this format: an invalid instance identifier
// or a field longer than a u32 length can say.
std::optional<Bytes> encodeTokenConfiguration(const StoredTokenConfiguration& configuration);
std::optional<StoredTokenConfiguration> decodeTokenConfiguration(ByteView file);

std::optional<Bytes> encodeDriverManifest(std::string_view driverID);
std::optional<std::string> decodeDriverManifest(ByteView file);

Bytes encodeGeneration(std::uint64_t generation);
std::optional<std::uint64_t> decodeGeneration(ByteView file);

}  // namespace platform::tokenkit

#include "platform/tokenkit/store_format.hpp"

#include "platform/foundation/binary_fields.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <variant>

namespace platform::tokenkit {
namespace {

constexpr std::uint8_t formatVersion = 1;
constexpr std::array<std::uint8_t, 4> configurationMagic{'C', 'T', 'K', 'T'};
constexpr std::array<std::uint8_t, 4> manifestMagic{'C', 'T', 'K', 'D'};
constexpr std::array<std::uint8_t, 4> generationMagic{'C', 'T', 'K', 'G'};

constexpr std::uint8_t certificateKind = 1;
constexpr std::uint8_t keyKind = 2;

constexpr std::uint8_t canSignBit = 1U << 0U;
constexpr std::uint8_t canDecryptBit = 1U << 1U;
constexpr std::uint8_t canPerformKeyExchangeBit = 1U << 2U;
constexpr std::uint8_t isSuitableForLoginBit = 1U << 3U;
constexpr std::uint8_t allCapabilityBits =
    canSignBit | canDecryptBit | canPerformKeyExchangeBit | isSuitableForLoginBit;

constexpr std::uint8_t constraintFalse = 0;
constexpr std::uint8_t constraintTrue = 1;
constexpr std::uint8_t constraintText = 2;

bool keepsInFileName(char c, bool leading) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  if (c == '-' || c == '_') return true;
  return c == '.' && !leading;
}

using Writer = foundation::BinaryFieldWriter;
using Reader = foundation::BinaryFieldReader;

// The magic and version every file starts with; any other file is no file of ours.
bool readHeader(Reader& reader, const std::array<std::uint8_t, 4>& magic) {
  const auto seen = reader.take(magic.size());
  const auto version = reader.u8();
  return seen && version && std::equal(seen->begin(), seen->end(), magic.begin()) && *version == formatVersion;
}

void writeHeader(Writer& writer, const std::array<std::uint8_t, 4>& magic) {
  writer.raw(magic);
  writer.u8(formatVersion);
}

std::uint8_t capabilityBits(const KeychainKey& key) {
  std::uint8_t bits = 0;
  if (key.canSign) bits |= canSignBit;
  if (key.canDecrypt) bits |= canDecryptBit;
  if (key.canPerformKeyExchange) bits |= canPerformKeyExchangeBit;
  if (key.isSuitableForLogin) bits |= isSuitableForLoginBit;
  return bits;
}

void writeConstraint(Writer& writer, Operation operation, const Constraint& constraint) {
  writer.u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(operation)));
  if (const auto* flag = std::get_if<bool>(&constraint)) {
    writer.u8(*flag ? constraintTrue : constraintFalse);
  } else {
    writer.u8(constraintText);
    writer.field(std::get<std::string>(constraint));
  }
}

void writeItem(Writer& writer, const KeychainItem& item) {
  if (const auto* certificate = std::get_if<KeychainCertificate>(&item)) {
    writer.u8(certificateKind);
    writer.field(certificate->objectID);
    writer.field(certificate->label);
    writer.field(certificate->certificateDER);
    return;
  }
  const auto& key = std::get<KeychainKey>(item);
  writer.u8(keyKind);
  writer.field(key.objectID);
  writer.field(key.label);
  writer.field(key.certificateDER);
  writer.u8(capabilityBits(key));
  writer.count(key.constraints.size());
  // The map's order is the ascending operation order the reader insists on.
  for (const auto& [operation, constraint] : key.constraints) writeConstraint(writer, operation, constraint);
}

std::optional<Constraint> readConstraintValue(Reader& reader) {
  const auto kind = reader.u8();
  if (!kind) return std::nullopt;
  switch (*kind) {
    case constraintFalse:
      return Constraint(false);
    case constraintTrue:
      return Constraint(true);
    case constraintText:
      if (auto text = reader.textField()) return Constraint(std::move(*text));
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<std::map<Operation, Constraint>> readConstraints(Reader& reader) {
  const auto count = reader.u32();
  if (!count) return std::nullopt;
  std::map<Operation, Constraint> constraints;
  std::optional<std::int32_t> previous;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto raw = reader.u32();
    if (!raw) return std::nullopt;
    const auto operation = static_cast<std::int32_t>(*raw);
    if (previous && operation <= *previous) return std::nullopt;
    previous = operation;
    auto constraint = readConstraintValue(reader);
    if (!constraint) return std::nullopt;
    constraints.emplace(static_cast<Operation>(operation), std::move(*constraint));
  }
  return constraints;
}

std::optional<KeychainKey> readKey(Reader& reader, std::string objectID, std::string label, Bytes der) {
  const auto bits = reader.u8();
  if (!bits || (*bits & ~allCapabilityBits) != 0) return std::nullopt;
  auto constraints = readConstraints(reader);
  if (!constraints) return std::nullopt;
  KeychainKey key;
  key.objectID = std::move(objectID);
  key.label = std::move(label);
  key.certificateDER = std::move(der);
  key.canSign = (*bits & canSignBit) != 0;
  key.canDecrypt = (*bits & canDecryptBit) != 0;
  key.canPerformKeyExchange = (*bits & canPerformKeyExchangeBit) != 0;
  key.isSuitableForLogin = (*bits & isSuitableForLoginBit) != 0;
  key.constraints = std::move(*constraints);
  return key;
}

std::optional<KeychainItem> readItem(Reader& reader) {
  const auto kind = reader.u8();
  if (!kind || (*kind != certificateKind && *kind != keyKind)) return std::nullopt;
  auto objectID = reader.textField();
  if (!objectID) return std::nullopt;
  auto label = reader.textField();
  if (!label) return std::nullopt;
  auto der = reader.bytesField();
  if (!der) return std::nullopt;
  if (*kind == certificateKind) {
    return KeychainCertificate{std::move(*objectID), std::move(*label), std::move(*der)};
  }
  auto key = readKey(reader, std::move(*objectID), std::move(*label), std::move(*der));
  if (!key) return std::nullopt;
  return std::move(*key);
}

std::optional<std::optional<Bytes>> readConfigurationData(Reader& reader) {
  const auto present = reader.u8();
  if (!present || *present > 1) return std::nullopt;
  if (*present == 0) return std::optional<Bytes>();
  auto data = reader.bytesField();
  if (!data) return std::nullopt;
  return std::optional<Bytes>(std::move(*data));
}

}  // namespace

bool isValidIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > maximumIdentifierLength) return false;
  if (identifier.find('\0') != std::string_view::npos) return false;
  std::size_t nameLength = 0;
  for (std::size_t i = 0; i < identifier.size(); ++i) nameLength += keepsInFileName(identifier[i], i == 0) ? 1 : 3;
  return nameLength <= maximumIdentifierFileNameLength;
}

std::optional<std::string> identifierFileName(std::string_view identifier) {
  if (!isValidIdentifier(identifier)) return std::nullopt;
  static constexpr char hexDigits[] = "0123456789ABCDEF";
  std::string name;
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    const char c = identifier[i];
    if (keepsInFileName(c, i == 0)) {
      name.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      name.push_back('%');
      name.push_back(hexDigits[byte >> 4U]);
      name.push_back(hexDigits[byte & 0xFU]);
    }
  }
  return name;
}

std::optional<std::string> identifierOfFileName(std::string_view fileName) {
  if (fileName.size() > maximumIdentifierFileNameLength) return std::nullopt;
  std::string identifier;
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    if (fileName[i] != '%') {
      identifier.push_back(fileName[i]);
      continue;
    }
    if (i + 2 >= fileName.size()) return std::nullopt;
    const int high = foundation::hexDigitValue(fileName[i + 1]);
    const int low = foundation::hexDigitValue(fileName[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    identifier.push_back(static_cast<char>((high << 4) | low));
    i += 2;
  }
  // Only the one name that the identifier is written under counts: "%41" for "A", lower-case
  // digits or a bare leading '.' are other names for it, or no name of ours.
  if (identifierFileName(identifier) != fileName) return std::nullopt;
  return identifier;
}

std::optional<Bytes> encodeTokenConfiguration(const StoredTokenConfiguration& configuration) {
  if (!isValidIdentifier(configuration.instanceID)) return std::nullopt;
  Writer writer;
  writeHeader(writer, configurationMagic);
  writer.field(configuration.instanceID);
  if (configuration.configurationData) {
    writer.u8(1);
    writer.field(*configuration.configurationData);
  } else {
    writer.u8(0);
  }
  writer.count(configuration.keychainItems.size());
  for (const auto& item : configuration.keychainItems) writeItem(writer, item);
  return std::move(writer).finished();
}

std::optional<StoredTokenConfiguration> decodeTokenConfiguration(ByteView file) {
  if (file.size() > maximumStoreFileSize) return std::nullopt;
  Reader reader(file);
  if (!readHeader(reader, configurationMagic)) return std::nullopt;
  StoredTokenConfiguration configuration;
  auto instanceID = reader.textField();
  if (!instanceID || !isValidIdentifier(*instanceID)) return std::nullopt;
  configuration.instanceID = std::move(*instanceID);
  auto data = readConfigurationData(reader);
  if (!data) return std::nullopt;
  configuration.configurationData = std::move(*data);
  const auto count = reader.u32();
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto item = readItem(reader);
    if (!item) return std::nullopt;
    configuration.keychainItems.push_back(std::move(*item));
  }
  if (!reader.atEnd()) return std::nullopt;
  return configuration;
}

std::optional<Bytes> encodeDriverManifest(std::string_view driverID) {
  if (!isValidIdentifier(driverID)) return std::nullopt;
  Writer writer;
  writeHeader(writer, manifestMagic);
  writer.field(driverID);
  return std::move(writer).finished();
}

std::optional<std::string> decodeDriverManifest(ByteView file) {
  if (file.size() > maximumStoreFileSize) return std::nullopt;
  Reader reader(file);
  if (!readHeader(reader, manifestMagic)) return std::nullopt;
  auto driverID = reader.textField();
  if (!driverID || !isValidIdentifier(*driverID) || !reader.atEnd()) return std::nullopt;
  return driverID;
}

Bytes encodeGeneration(std::uint64_t generation) {
  Writer writer;
  writeHeader(writer, generationMagic);
  writer.u64(generation);
  return *std::move(writer).finished();
}

std::optional<std::uint64_t> decodeGeneration(ByteView file) {
  Reader reader(file);
  if (!readHeader(reader, generationMagic)) return std::nullopt;
  const auto generation = reader.u64();
  if (!generation || !reader.atEnd()) return std::nullopt;
  return generation;
}

}  // namespace platform::tokenkit

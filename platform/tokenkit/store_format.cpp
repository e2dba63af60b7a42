#include "platform/tokenkit/store_format.hpp"

#include <array>
#include <limits>
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

// Appends fields; a field too long for its u32 length makes the whole encoding fail.
class Writer {
public:
  void byte(std::uint8_t value) { bytes_.push_back(value); }

  void u32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) byte(static_cast<std::uint8_t>(value >> shift));
  }

  void u64(std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) byte(static_cast<std::uint8_t>(value >> shift));
  }

  void raw(std::span<const std::uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

  void field(ByteView data) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
      failed_ = true;
      return;
    }
    u32(static_cast<std::uint32_t>(data.size()));
    raw(data);
  }

  void field(std::string_view text) {
    field(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  void count(std::size_t number) {
    if (number > std::numeric_limits<std::uint32_t>::max()) failed_ = true;
    u32(static_cast<std::uint32_t>(number));
  }

  std::optional<Bytes> finished() && {
    if (failed_) return std::nullopt;
    return std::move(bytes_);
  }

private:
  Bytes bytes_;
  bool failed_ = false;
};

// Reads fields front to back; every read checks the bytes left first, so a length in the file
// never makes it allocate more than the file holds.
class Reader {
public:
  explicit Reader(ByteView file) : rest_(file) {}

  std::optional<std::uint8_t> byte() {
    if (rest_.empty()) return std::nullopt;
    const auto value = rest_.front();
    rest_ = rest_.subspan(1);
    return value;
  }

  std::optional<std::uint32_t> u32() {
    if (rest_.size() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8U) | rest_[i];
    rest_ = rest_.subspan(4);
    return value;
  }

  std::optional<std::uint64_t> u64() {
    if (rest_.size() < 8) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = (value << 8U) | rest_[i];
    rest_ = rest_.subspan(8);
    return value;
  }

  std::optional<ByteView> field() {
    const auto length = u32();
    if (!length || *length > rest_.size()) return std::nullopt;
    const auto data = rest_.first(*length);
    rest_ = rest_.subspan(*length);
    return data;
  }

  std::optional<Bytes> bytes() {
    const auto data = field();
    if (!data) return std::nullopt;
    return Bytes(data->begin(), data->end());
  }

  std::optional<std::string> text() {
    const auto data = field();
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
  }

  bool header(const std::array<std::uint8_t, 4>& magic) {
    if (rest_.size() < magic.size() + 1) return false;
    for (std::size_t i = 0; i < magic.size(); ++i) {
      if (rest_[i] != magic[i]) return false;
    }
    const bool versionMatches = rest_[magic.size()] == formatVersion;
    rest_ = rest_.subspan(magic.size() + 1);
    return versionMatches;
  }

  bool atEnd() const { return rest_.empty(); }

private:
  ByteView rest_;
};

void writeHeader(Writer& writer, const std::array<std::uint8_t, 4>& magic) {
  writer.raw(magic);
  writer.byte(formatVersion);
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
    writer.byte(*flag ? constraintTrue : constraintFalse);
  } else {
    writer.byte(constraintText);
    writer.field(std::get<std::string>(constraint));
  }
}

void writeItem(Writer& writer, const KeychainItem& item) {
  if (const auto* certificate = std::get_if<KeychainCertificate>(&item)) {
    writer.byte(certificateKind);
    writer.field(certificate->objectID);
    writer.field(certificate->label);
    writer.field(certificate->certificateDER);
    return;
  }
  const auto& key = std::get<KeychainKey>(item);
  writer.byte(keyKind);
  writer.field(key.objectID);
  writer.field(key.label);
  writer.field(key.certificateDER);
  writer.byte(capabilityBits(key));
  writer.count(key.constraints.size());
  // The map's order is the ascending operation order the reader insists on.
  for (const auto& [operation, constraint] : key.constraints) writeConstraint(writer, operation, constraint);
}

std::optional<Constraint> readConstraintValue(Reader& reader) {
  const auto kind = reader.byte();
  if (!kind) return std::nullopt;
  switch (*kind) {
    case constraintFalse:
      return Constraint(false);
    case constraintTrue:
      return Constraint(true);
    case constraintText:
      if (auto text = reader.text()) return Constraint(std::move(*text));
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
  const auto bits = reader.byte();
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
  const auto kind = reader.byte();
  if (!kind || (*kind != certificateKind && *kind != keyKind)) return std::nullopt;
  auto objectID = reader.text();
  if (!objectID) return std::nullopt;
  auto label = reader.text();
  if (!label) return std::nullopt;
  auto der = reader.bytes();
  if (!der) return std::nullopt;
  if (*kind == certificateKind) {
    return KeychainCertificate{std::move(*objectID), std::move(*label), std::move(*der)};
  }
  auto key = readKey(reader, std::move(*objectID), std::move(*label), std::move(*der));
  if (!key) return std::nullopt;
  return std::move(*key);
}

std::optional<std::optional<Bytes>> readConfigurationData(Reader& reader) {
  const auto present = reader.byte();
  if (!present || *present > 1) return std::nullopt;
  if (*present == 0) return std::optional<Bytes>();
  auto data = reader.bytes();
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
    writer.byte(1);
    writer.field(*configuration.configurationData);
  } else {
    writer.byte(0);
  }
  writer.count(configuration.keychainItems.size());
  for (const auto& item : configuration.keychainItems) writeItem(writer, item);
  return std::move(writer).finished();
}

std::optional<StoredTokenConfiguration> decodeTokenConfiguration(ByteView file) {
  if (file.size() > maximumStoreFileSize) return std::nullopt;
  Reader reader(file);
  if (!reader.header(configurationMagic)) return std::nullopt;
  StoredTokenConfiguration configuration;
  auto instanceID = reader.text();
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
  if (!reader.header(manifestMagic)) return std::nullopt;
  auto driverID = reader.text();
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
  if (!reader.header(generationMagic)) return std::nullopt;
  const auto generation = reader.u64();
  if (!generation || !reader.atEnd()) return std::nullopt;
  return generation;
}

}  // namespace platform::tokenkit

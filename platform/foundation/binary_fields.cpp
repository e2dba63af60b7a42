#include "platform/foundation/binary_fields.hpp"

#include <utility>

namespace platform::foundation {
namespace {

std::uint64_t largestOf(LengthPrefix prefix) {
  return (std::uint64_t{1} << (8U * static_cast<unsigned>(prefix))) - 1;
}

}  // namespace

std::optional<std::uint64_t> BinaryFieldReader::unsignedOf(std::size_t width) {
  if (failed_ || rest_.size() < width) {
    failed_ = true;
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8U) | rest_[i];
  rest_ = rest_.subspan(width);
  return value;
}

std::optional<std::uint8_t> BinaryFieldReader::u8() {
  const auto value = unsignedOf(1);
  if (!value) return std::nullopt;
  return static_cast<std::uint8_t>(*value);
}

std::optional<std::uint16_t> BinaryFieldReader::u16() {
  const auto value = unsignedOf(2);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

std::optional<std::uint32_t> BinaryFieldReader::u32() {
  const auto value = unsignedOf(4);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint64_t> BinaryFieldReader::u64() { return unsignedOf(8); }

std::optional<std::int32_t> BinaryFieldReader::i32() {
  const auto value = u32();
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

std::optional<bool> BinaryFieldReader::flag() {
  const auto value = u8();
  if (!value) return std::nullopt;
  if (*value > 1) {
    failed_ = true;
    return std::nullopt;
  }
  return *value == 1;
}

std::optional<ByteView> BinaryFieldReader::take(std::size_t count) {
  if (failed_ || rest_.size() < count) {
    failed_ = true;
    return std::nullopt;
  }
  const auto taken = rest_.first(count);
  rest_ = rest_.subspan(count);
  return taken;
}

std::optional<ByteView> BinaryFieldReader::field(LengthPrefix prefix) {
  const auto length = unsignedOf(static_cast<std::size_t>(prefix));
  if (!length) return std::nullopt;
  return take(static_cast<std::size_t>(*length));
}

std::optional<Bytes> BinaryFieldReader::bytesField(LengthPrefix prefix) {
  const auto data = field(prefix);
  if (!data) return std::nullopt;
  return Bytes(data->begin(), data->end());
}

std::optional<std::string> BinaryFieldReader::textField(LengthPrefix prefix) {
  const auto data = field(prefix);
  if (!data) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(data->data()), data->size());
}

void BinaryFieldWriter::unsignedOf(std::uint64_t value, std::size_t width) {
  for (std::size_t i = width; i > 0; --i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
}

bool BinaryFieldWriter::fits(std::size_t number, LengthPrefix prefix) const {
  return number <= largestOf(prefix);
}

void BinaryFieldWriter::field(ByteView data, LengthPrefix prefix) {
  if (data.size() > longestField_ || !fits(data.size(), prefix)) {
    failed_ = true;
    return;
  }
  unsignedOf(data.size(), static_cast<std::size_t>(prefix));
  raw(data);
}

void BinaryFieldWriter::field(std::string_view text, LengthPrefix prefix) {
  field(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), prefix);
}

void BinaryFieldWriter::count(std::size_t number, LengthPrefix prefix) {
  if (!fits(number, prefix)) failed_ = true;
  unsignedOf(number, static_cast<std::size_t>(prefix));
}

std::size_t BinaryFieldWriter::lengthPlaceholder(LengthPrefix prefix) {
  const auto position = bytes_.size();
  unsignedOf(0, static_cast<std::size_t>(prefix));
  return position;
}

void BinaryFieldWriter::fillLength(std::size_t placeholder, LengthPrefix prefix) {
  const auto width = static_cast<std::size_t>(prefix);
  if (placeholder + width > bytes_.size()) {
    failed_ = true;
    return;
  }
  const std::size_t length = bytes_.size() - placeholder - width;
  if (!fits(length, prefix)) {
    failed_ = true;
    return;
  }
  for (std::size_t i = 0; i < width; ++i) {
    bytes_[placeholder + i] = static_cast<std::uint8_t>(length >> (8 * (width - 1 - i)));
  }
}

std::optional<Bytes> BinaryFieldWriter::finished() && {
  if (failed_) return std::nullopt;
  return std::move(bytes_);
}

}  // namespace platform::foundation

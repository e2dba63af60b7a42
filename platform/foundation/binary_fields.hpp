#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

// How many bytes the big-endian length in front of a length-prefixed field takes.
enum class LengthPrefix : std::uint8_t { oneByte = 1, twoBytes = 2, fourBytes = 4 };

// Reads big-endian integers and length-prefixed fields front to back. Every read checks what is
// left first, so a length taken from the input never makes it reach, or allocate, past the input.
// The first read that fails makes every later read fail too: a decoder may read several fields
// and check them together without a later read picking up where a failed one stopped.
class BinaryFieldReader {
public:
  explicit BinaryFieldReader(ByteView input) : rest_(input) {}

  std::optional<std::uint8_t> u8();
  std::optional<std::uint16_t> u16();
  std::optional<std::uint32_t> u32();
  std::optional<std::uint64_t> u64();
  // The two's complement reading of a u32.
  std::optional<std::int32_t> i32();
  // A one-byte boolean: 0 or 1, nothing else.
  std::optional<bool> flag();

  // The next `count` bytes, as a view into the input.
  std::optional<ByteView> take(std::size_t count);

  // A field's bytes after its length, as a view into the input.
  std::optional<ByteView> field(LengthPrefix prefix = LengthPrefix::fourBytes);
  std::optional<Bytes> bytesField(LengthPrefix prefix = LengthPrefix::fourBytes);
  // The field's bytes as they are; checking them as text is the format's business.
  std::optional<std::string> textField(LengthPrefix prefix = LengthPrefix::fourBytes);

  bool failed() const { return failed_; }
  // Every byte read and no read failed: what a decoder asks before it accepts the input.
  bool atEnd() const { return !failed_ && rest_.empty(); }

private:
  std::optional<std::uint64_t> unsignedOf(std::size_t width);

  ByteView rest_;
  bool failed_ = false;
};

// Appends big-endian integers and length-prefixed fields. A field longer than its prefix can say,
// or than the longest field the format allows, is not written and makes the whole encoding fail;
// so does fail(). Reads of the result go through finished(), which gives nothing once it failed.
class BinaryFieldWriter {
public:
  BinaryFieldWriter() = default;
  explicit BinaryFieldWriter(std::size_t longestField) : longestField_(longestField) {}

  void reserve(std::size_t size) { bytes_.reserve(size); }

  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u16(std::uint16_t value) { unsignedOf(value, 2); }
  void u32(std::uint32_t value) { unsignedOf(value, 4); }
  void u64(std::uint64_t value) { unsignedOf(value, 8); }
  void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
  void flag(bool value) { u8(value ? 1 : 0); }
  void raw(ByteView data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

  void field(ByteView data, LengthPrefix prefix = LengthPrefix::fourBytes);
  void field(std::string_view text, LengthPrefix prefix = LengthPrefix::fourBytes);
  // A number of entries to follow, in a prefix's width; fails when it does not fit.
  void count(std::size_t number, LengthPrefix prefix = LengthPrefix::fourBytes);

  // Leaves room for a big-endian length of everything written after it; fillLength writes it.
  std::size_t lengthPlaceholder(LengthPrefix prefix);
  void fillLength(std::size_t placeholder, LengthPrefix prefix);

  void fail() { failed_ = true; }
  bool failed() const { return failed_; }
  std::size_t size() const { return bytes_.size(); }

  // The encoding, or none when anything failed.
  std::optional<Bytes> finished() &&;
  // The bytes written so far whether or not it failed, for a caller that must wipe them.
  Bytes takeBytes() && { return std::move(bytes_); }

private:
  void unsignedOf(std::uint64_t value, std::size_t width);
  bool fits(std::size_t number, LengthPrefix prefix) const;

  Bytes bytes_;
  std::size_t longestField_ = std::numeric_limits<std::size_t>::max();
  bool failed_ = false;
};

}  // namespace platform::foundation

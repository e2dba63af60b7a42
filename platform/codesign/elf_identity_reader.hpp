#pragma once

#include "platform/codesign/code_signing.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace platform::codesign {

// Random access to the bytes of an executable.
class ElfSource {
public:
  virtual ~ElfSource() = default;

  virtual std::uint64_t size() const = 0;
  // False unless all of `into` was filled from `offset` on.
  virtual bool read(std::uint64_t offset, std::span<unsigned char> into) const = 0;
};

// The bytes of an executable held in memory (tests, the fuzz target).
class ByteSource final : public ElfSource {
public:
  explicit ByteSource(std::span<const unsigned char> bytes) : bytes_(bytes) {}

  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t offset, std::span<unsigned char> into) const override;

private:
  std::span<const unsigned char> bytes_;
};

// An open executable file; the descriptor stays the caller's. Its size is taken once, when the
// source is made; a descriptor that is not of a regular file has size 0 and reads nothing.
class FileSource final : public ElfSource {
public:
  explicit FileSource(int descriptor);

  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::span<unsigned char> into) const override;

private:
  int descriptor_;
  std::uint64_t size_ = 0;
};

// The code identity of a 64-bit ELF executable of this machine's byte order, read from its
// section headers. The bytes are another process's file and are trusted in nothing: every offset
// and size is checked against the file and against fixed bounds before it is used.
//
// None when the file is not such an executable, its section table or name table is out of
// bounds or malformed, or it holds a record section that is not exactly a record (or more than
// one): a file that claims a record and fails is refused outright rather than taken for
// unsigned. An executable without a record section is unsigned (an identity without a record).
std::optional<CodeIdentity> readCodeIdentity(const ElfSource& source);

}  // namespace platform::codesign

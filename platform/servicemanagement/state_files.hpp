#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace platform::servicemanagement {

// Whose file may be read: the bundle's belong to whoever installed it; the user's registrations
// are read only when they are the user's own regular files (never through a symbolic link).
enum class FileOwner { anyone, user };

// The bytes of a file, or the errno of why there are none.
class FileContents {
public:
  static FileContents of(Bytes bytes) { return FileContents(std::move(bytes), 0); }
  static FileContents failure(int error) { return FileContents(std::nullopt, error); }

  explicit operator bool() const { return bytes_.has_value(); }
  const Bytes& value() const { return *bytes_; }
  int error() const { return error_; }

private:
  FileContents(std::optional<Bytes> bytes, int error) : bytes_(std::move(bytes)), error_(error) {}
  std::optional<Bytes> bytes_;
  int error_;
};

// A regular file of at most the property-list limit (larger: EFBIG).
FileContents readSmallFile(const std::filesystem::path& file, FileOwner owner);

// The user's directory for registrations, created 0700 (with its parents) when missing. Whoever
// could write into it could have the user run any program, so it is used only while it is a real
// directory of the effective user that no one else can write to; otherwise stateUnavailable.
void ensurePrivateDirectory(const std::filesystem::path& directory);

// Replaces the file with the bytes in one step: a reader sees the old content or the new, never a
// part. Throws stateUnavailable.
void replaceFile(const std::filesystem::path& file, const Bytes& bytes);

// An exclusive lock on a lock file, held by processes and threads alike until it is destroyed.
// Waits at most `wait` for another holder; throws stateUnavailable after that.
class FileLock {
public:
  FileLock(const std::filesystem::path& file, std::chrono::milliseconds wait);

private:
  foundation::UniqueFd fd_;
};

}  // namespace platform::servicemanagement

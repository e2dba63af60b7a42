#pragma once

// File operations of the token-kit store, relative to directory descriptors. The store's contents
// are treated as possibly hostile: no symbolic link is ever followed, no file is read beyond a
// size, no write goes through an existing file, and a reader sees each file whole or not at all.

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::tokenkit::detail {

using foundation::UniqueFd;

[[noreturn]] void throwSystemError(int error, const std::string& what);

// Who may use a directory on the way to the store (the user's home, ~/.local, ~/.local/share),
// and the store's own directories, which only the user may use at all.
enum class DirectoryAccess { ownedNotWritableByOthers, ownedPrivate };

// Opens the directory at path as the caller names it, links included: the places above the
// store are the user's to arrange. Throws std::system_error.
UniqueFd openDirectoryAtPath(const std::filesystem::path& path);

// Opens the child directory `name` of parent, never through a link, creating it with mode 0700
// when create is set and it is absent; it must be owned by the user and allow others no more than
// access does. The error is an errno value: ENOENT when absent, ELOOP or ENOTDIR for a link or
// another kind of file, EPERM for a directory of another user or one open to others.
struct OpenedDirectory {
  UniqueFd fd;
  int error = 0;
};
OpenedDirectory openChildDirectory(int parent, const std::string& name, DirectoryAccess access, bool create);

// As openChildDirectory, throwing std::system_error instead of giving an error.
UniqueFd requireChildDirectory(int parent, const std::string& name, DirectoryAccess access, bool create);

// The whole content of the regular file `name`, when there is one of at most maximumSize bytes
// that is not a link; none otherwise (absent, a link, a directory, a FIFO, too large, unreadable).
std::optional<Bytes> readRegularFile(int directory, const std::string& name, std::size_t maximumSize);

// Whether `name` exists in the directory, links included (not followed).
bool entryExists(int directory, const std::string& name);

// Whether `name` in the directory is a directory itself (not through a link).
bool isDirectory(int directory, const std::string& name);

// The names in the directory, without "." and "..". Throws std::system_error.
std::vector<std::string> directoryEntries(int directory);

// The prefix of the temporary files that replaceFile writes before renaming them into place.
inline constexpr std::string_view temporaryFilePrefix = ".tmp-";

// Removes the temporary files a writer that died left behind. Only a writer that holds the store's
// lock may call it: then no other writer is between writing a temporary file and renaming it.
void removeLeftoverTemporaryFiles(int directory);

// A file written in full and synced under a temporary name in the directory, put in place by
// commit() with one rename over `name` (which replaces a link or file there, never writing
// through it). Removed again unless committed. The constructor throws std::system_error.
class PendingFile {
public:
  PendingFile(int directory, std::string name, ByteView contents);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Throws std::system_error when the rename fails; the temporary file is then removed.
  void commit();

private:
  int directory_;
  std::string name_;
  std::string temporaryName_;
  bool inPlace_ = false;
};

// Removes `name`, when there is one. Throws std::system_error when it cannot; false when there
// was nothing to remove.
bool removeFile(int directory, const std::string& name);

// flock(LOCK_EX) on the store's lock file, held for the object's life. The lock file is opened
// afresh for every lock, so two holders in one process exclude each other as two processes do.
// Throws std::system_error.
class StoreLock {
public:
  explicit StoreLock(int storeDirectory);

private:
  UniqueFd fd_;
};

// Syncs the directory, so that a rename or removal in it survives a crash. Failures are dropped:
// they come after the change is already visible, and a write that is visible must not report
// that nothing changed.
void syncDirectory(int directory);

}  // namespace platform::tokenkit::detail

#pragma once

#include "platform/tokenkit/token_kit.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace platform::tokenkit {

// The token kit kept in a directory that several processes of the user share (the format and
// layout are in store_format.hpp). Nothing is cached: every read sees the files as they are now,
// so two instances on one directory, in one process or two, see each other's writes. Each file is
// replaced whole by a rename, so a reader never sees a torn file; writers are serialised across
// processes by a lock file. A file that is malformed, oversized, a link or otherwise not what the
// store writes is read as absent.
//
// Writes throw std::system_error and change no configuration when the store cannot be written,
// also for an identifier that cannot be a file name (isValidIdentifier, EINVAL) or a configuration
// larger than maximumStoreFileSize (EFBIG). A write through the handle of a configuration that no
// longer exists has no effect, as the removal of an absent one has none.
class FileTokenKit final : public TokenKit {
public:
  // Opens the store at root, creating root (not its parents) with mode 0700 when it is absent.
  // Throws std::system_error when root is a symbolic link or no directory (ELOOP, ENOTDIR), or is
  // owned by another user or open to others (EPERM).
  explicit FileTokenKit(const std::filesystem::path& root);

  // Makes the driver installed: its driver configuration appears, with no token configuration.
  // What the installation of a token extension does; installing it again changes nothing.
  void installDriver(const std::string& driverID);

  // A counter that every write of the store moves on after its change is in place: a reader that
  // saw one value and reads the configurations afterwards misses no change made before the counter
  // moves on. 0 for a store that was never written. Compare for inequality only: a damaged
  // generation file reads as 0 and counting starts again from there.
  std::uint64_t generation() const;

  std::map<std::string, std::shared_ptr<DriverConfiguration>> driverConfigurations() const override;

  // The store's directory, open for as long as the store and its handles live.
  struct Store;

private:
  explicit FileTokenKit(std::shared_ptr<const Store> store);
  friend std::unique_ptr<FileTokenKit> systemTokenKit();

  std::shared_ptr<const Store> store_;
};

// The user's store: <home>/.local/share/ro.corvanta.sign/tokenkit, home being the effective user's
// home directory in the user database (no environment variable changes it). Throws
// std::system_error when the user has no home directory.
std::filesystem::path userTokenKitDirectory();

// Opens the user's store, creating the directories of userTokenKitDirectory() below home that are
// missing with mode 0700. Every directory below home must be the user's and not writable by others;
// ro.corvanta.sign and tokenkit are open to nobody else. Throws std::system_error.
std::unique_ptr<FileTokenKit> systemTokenKit();

// Tells a reader of the store that it changed: an inotify watch on the store's directory that
// reports each time a writer moved the generation on. For a process that waits for changes (the
// token host) with poll or an event loop on descriptor(); takeChange() never blocks.
class TokenKitChangeWatcher {
public:
  // Throws std::system_error when the watch cannot be set.
  explicit TokenKitChangeWatcher(const std::filesystem::path& root);
  ~TokenKitChangeWatcher();
  TokenKitChangeWatcher(const TokenKitChangeWatcher&) = delete;
  TokenKitChangeWatcher& operator=(const TokenKitChangeWatcher&) = delete;

  // Readable when a change is waiting.
  int descriptor() const { return fd_; }

  // Whether the store changed since the last call (or since the watch began), taking every
  // notice waiting. Also true when notices were lost to a full queue.
  bool takeChange();

private:
  int fd_ = -1;
};

}  // namespace platform::tokenkit

#include "platform/tokenkit/store_files.hpp"

#include "platform/security/random.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <system_error>

namespace platform::tokenkit::detail {
namespace {

// Every file is opened without following a link, close-on-exec, and without blocking: a FIFO put
// where a file belongs must not stall the reader.
constexpr int fileOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int directoryOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

constexpr mode_t privateDirectoryMode = 0700;
constexpr mode_t privateFileMode = 0600;
constexpr int temporaryNameAttempts = 8;

int checkDirectory(int fd, DirectoryAccess access) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return errno;
  if (!S_ISDIR(status.st_mode)) return ENOTDIR;
  if (status.st_uid != geteuid()) return EPERM;
  const mode_t forbidden = access == DirectoryAccess::ownedPrivate ? mode_t{077} : mode_t{022};
  if ((status.st_mode & forbidden) != 0) return EPERM;
  return 0;
}

int retryingOpenat(int directory, const char* name, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = openat(directory, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Creating the directory and opening it are two steps: the open refuses a link that someone put
// in its place in between, and the check after it refuses a directory of someone else.
OpenedDirectory createAndOpen(int parent, const std::string& name, DirectoryAccess access) {
  if (mkdirat(parent, name.c_str(), privateDirectoryMode) != 0 && errno != EEXIST) return {UniqueFd(), errno};
  UniqueFd fd(retryingOpenat(parent, name.c_str(), directoryOpenFlags));
  if (!fd) return {UniqueFd(), errno};
  // A umask may have taken the owner's own bits away.
  struct stat status {};
  if (fstat(fd.get(), &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 0777) != privateDirectoryMode &&
      (status.st_mode & 077) == 0) {
    (void)fchmod(fd.get(), privateDirectoryMode);
  }
  if (const int error = checkDirectory(fd.get(), access)) return {UniqueFd(), error};
  return {std::move(fd), 0};
}

std::string randomTemporaryName() {
  std::array<std::uint8_t, 12> random{};
  if (!security::copyRandomBytes(random)) throwSystemError(EIO, "random bytes for a temporary file name");
  return std::string(temporaryFilePrefix) + foundation::lowercaseHex(random);
}

void writeAll(int fd, ByteView contents) {
  std::size_t written = 0;
  while (written < contents.size()) {
    const auto result = ::write(fd, contents.data() + written, contents.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "writing a token-kit store file");
    }
    written += static_cast<std::size_t>(result);
  }
}

}  // namespace

void throwSystemError(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

UniqueFd openDirectoryAtPath(const std::filesystem::path& path) {
  UniqueFd fd(retryingOpenat(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throwSystemError(errno, "opening " + path.string());
  return fd;
}

OpenedDirectory openChildDirectory(int parent, const std::string& name, DirectoryAccess access, bool create) {
  UniqueFd fd(retryingOpenat(parent, name.c_str(), directoryOpenFlags));
  if (!fd) {
    if (errno == ENOENT && create) return createAndOpen(parent, name, access);
    return {UniqueFd(), errno};
  }
  if (const int error = checkDirectory(fd.get(), access)) return {UniqueFd(), error};
  return {std::move(fd), 0};
}

UniqueFd requireChildDirectory(int parent, const std::string& name, DirectoryAccess access, bool create) {
  auto opened = openChildDirectory(parent, name, access, create);
  if (!opened.fd) throwSystemError(opened.error, "opening the token-kit directory " + name);
  return std::move(opened.fd);
}

std::optional<Bytes> readRegularFile(int directory, const std::string& name, std::size_t maximumSize) {
  const UniqueFd fd(retryingOpenat(directory, name.c_str(), O_RDONLY | fileOpenFlags));
  if (!fd) return std::nullopt;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (status.st_size < 0 || static_cast<std::uintmax_t>(status.st_size) > maximumSize) return std::nullopt;
  // The size is read again as the file is read: a file that grows meanwhile is refused too.
  Bytes contents(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t filled = 0;
  while (filled < contents.size()) {
    const auto result = ::read(fd.get(), contents.data() + filled, contents.size() - filled);
    if (result < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (result == 0) break;
    filled += static_cast<std::size_t>(result);
  }
  if (filled > maximumSize || filled != static_cast<std::size_t>(status.st_size)) return std::nullopt;
  contents.resize(filled);
  return contents;
}

bool entryExists(int directory, const std::string& name) {
  struct stat status {};
  return fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool isDirectory(int directory, const std::string& name) {
  struct stat status {};
  return fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> directoryEntries(int directory) {
  // A descriptor of its own, so the listing does not share a position with the caller's.
  UniqueFd listing(retryingOpenat(directory, ".", directoryOpenFlags));
  if (!listing) throwSystemError(errno, "listing a token-kit directory");
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(listing.get()), closedir);
  if (!stream) throwSystemError(errno, "listing a token-kit directory");
  (void)listing.release();  // the stream owns it now
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string name(entry->d_name);
    if (name != "." && name != "..") names.push_back(name);
  }
  if (errno != 0) throwSystemError(errno, "listing a token-kit directory");
  return names;
}

void removeLeftoverTemporaryFiles(int directory) {
  for (const auto& name : directoryEntries(directory)) {
    if (name.starts_with(temporaryFilePrefix)) (void)unlinkat(directory, name.c_str(), 0);
  }
}

PendingFile::PendingFile(int directory, std::string name, ByteView contents)
    : directory_(directory), name_(std::move(name)) {
  UniqueFd fd;
  for (int attempt = 0; attempt < temporaryNameAttempts && !fd; ++attempt) {
    temporaryName_ = randomTemporaryName();
    fd = UniqueFd(retryingOpenat(directory_, temporaryName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | fileOpenFlags,
                                 privateFileMode));
    if (!fd && errno != EEXIST) break;
  }
  if (!fd) throwSystemError(errno, "creating a token-kit store file");
  try {
    writeAll(fd.get(), contents);
    if (fsync(fd.get()) != 0) throwSystemError(errno, "syncing a token-kit store file");
  } catch (...) {
    (void)unlinkat(directory_, temporaryName_.c_str(), 0);
    throw;
  }
}

PendingFile::~PendingFile() {
  if (!inPlace_) (void)unlinkat(directory_, temporaryName_.c_str(), 0);
}

void PendingFile::commit() {
  if (renameat(directory_, temporaryName_.c_str(), directory_, name_.c_str()) != 0) {
    throwSystemError(errno, "replacing a token-kit store file");
  }
  inPlace_ = true;
  syncDirectory(directory_);
}

bool removeFile(int directory, const std::string& name) {
  if (unlinkat(directory, name.c_str(), 0) != 0) {
    if (errno == ENOENT) return false;
    throwSystemError(errno, "removing a token-kit store file");
  }
  syncDirectory(directory);
  return true;
}

StoreLock::StoreLock(int storeDirectory)
    : fd_(retryingOpenat(storeDirectory, "lock", O_RDWR | O_CREAT | fileOpenFlags, privateFileMode)) {
  if (!fd_) throwSystemError(errno, "opening the token-kit lock");
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) throwSystemError(errno, "opening the token-kit lock");
  if (!S_ISREG(status.st_mode)) throwSystemError(EINVAL, "opening the token-kit lock");
  while (flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throwSystemError(errno, "locking the token-kit store");
  }
}

void syncDirectory(int directory) { (void)fsync(directory); }

}  // namespace platform::tokenkit::detail

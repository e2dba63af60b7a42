#include "platform/servicemanagement/state_files.hpp"

#include "platform/servicemanagement/property_list.hpp"
#include "platform/servicemanagement/service_management_error.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;
using foundation::UniqueFd;

[[noreturn]] void unavailable(const std::string& what, const std::filesystem::path& path) {
  throw ServiceManagementError(Case::stateUnavailable, what + ": " + path.string() + ": " + std::strerror(errno));
}

bool writeAll(int fd, const Bytes& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

std::string randomSuffix() {
  std::array<std::uint8_t, 8> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) return "0";
  return foundation::lowercaseHex(random);
}

}  // namespace

FileContents readSmallFile(const std::filesystem::path& file, FileOwner owner) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (owner == FileOwner::user ? O_NOFOLLOW : 0);
  const UniqueFd fd(::open(file.c_str(), flags));
  if (!fd) return FileContents::failure(errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return FileContents::failure(errno);
  if (!S_ISREG(status.st_mode)) return FileContents::failure(EINVAL);
  if (owner == FileOwner::user && status.st_uid != ::geteuid()) return FileContents::failure(EPERM);
  if (status.st_size > static_cast<off_t>(propertyListByteLimit)) return FileContents::failure(EFBIG);
  Bytes bytes(propertyListByteLimit + 1);
  std::size_t length = 0;
  while (length < bytes.size()) {
    const ssize_t count = ::read(fd.get(), bytes.data() + length, bytes.size() - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return FileContents::failure(errno);
    if (count == 0) break;
    length += static_cast<std::size_t>(count);
  }
  // A file that grew while it was read is still held to the limit.
  if (length > propertyListByteLimit) return FileContents::failure(EFBIG);
  bytes.resize(length);
  return FileContents::of(std::move(bytes));
}

void ensurePrivateDirectory(const std::filesystem::path& directory) {
  std::error_code ignored;
  if (directory.has_parent_path() && !std::filesystem::exists(directory.parent_path(), ignored)) {
    // Parents the user has not made yet (a new account's ~/.config) are private too.
    const auto parent = directory.parent_path();
    std::filesystem::create_directories(parent, ignored);
    std::filesystem::permissions(parent, std::filesystem::perms::owner_all, ignored);
  }
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) unavailable("cannot create", directory);
  struct stat status {};
  if (::lstat(directory.c_str(), &status) != 0) unavailable("cannot examine", directory);
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 0022) != 0) {
    errno = EPERM;
    unavailable("not a private directory of the user", directory);
  }
}

void replaceFile(const std::filesystem::path& file, const Bytes& bytes) {
  const auto temporary = file.parent_path() / ("." + file.filename().string() + "." + randomSuffix());
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) unavailable("cannot create", temporary);
  if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    unavailable("cannot write", temporary);
  }
  fd.reset();
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    unavailable("cannot replace", file);
  }
}

FileLock::FileLock(const std::filesystem::path& file, std::chrono::milliseconds wait)
    : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
  if (!fd_) unavailable("cannot open the lock", file);
  // Polled rather than blocking, so that a holder that hangs cannot hold up the caller for ever.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) unavailable("cannot lock", file);
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = ETIMEDOUT;
      unavailable("lock held too long by another process", file);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace platform::servicemanagement

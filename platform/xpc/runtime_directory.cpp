#include "platform/xpc/runtime_directory.hpp"

#include "platform/xpc/frame.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::xpc {

using foundation::UniqueFd;
namespace {

std::string describe(RuntimeDirectoryError::Case which) {
  switch (which) {
    case RuntimeDirectoryError::Case::unusable: return "runtime directory cannot be created or opened";
    case RuntimeDirectoryError::Case::wrongOwner: return "runtime directory belongs to another user";
    case RuntimeDirectoryError::Case::wrongMode: return "runtime directory is open to other users";
    case RuntimeDirectoryError::Case::notADirectory: return "runtime directory is not a directory";
    case RuntimeDirectoryError::Case::pathTooLong: return "runtime directory path leaves no room for a socket";
  }
  return "runtime directory unusable";
}

bool isDirectoryOfUser(const std::string& path, uid_t user) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == user;
}

}  // namespace

RuntimeDirectoryError::RuntimeDirectoryError(Case which, const std::string& path)
    : std::runtime_error(describe(which) + ": " + path), case_(which) {}

RuntimeDirectory RuntimeDirectory::forCurrentUser() {
  const uid_t user = ::geteuid();
  const std::string userRuntime = "/run/user/" + std::to_string(user);
  if (isDirectoryOfUser(userRuntime, user)) return at(userRuntime + "/ro.corvanta.sign");
  return at("/tmp/ro.corvanta.sign-" + std::to_string(user));
}

RuntimeDirectory RuntimeDirectory::at(const std::string& path) {
  using Case = RuntimeDirectoryError::Case;
  // A socket name of a few characters must still fit below it.
  if (path.empty() || path.front() != '/' || !fitsSocketAddress(path + "/12345678")) {
    throw RuntimeDirectoryError(Case::pathTooLong, path);
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw RuntimeDirectoryError(Case::unusable, path);
  // O_NOFOLLOW: a link planted at the path is refused instead of followed.
  const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) {
    throw RuntimeDirectoryError(errno == ENOTDIR || errno == ELOOP ? Case::notADirectory : Case::unusable, path);
  }
  struct stat status {};
  if (::fstat(directory.get(), &status) != 0) throw RuntimeDirectoryError(Case::unusable, path);
  if (!S_ISDIR(status.st_mode)) throw RuntimeDirectoryError(Case::notADirectory, path);
  if (status.st_uid != ::geteuid()) throw RuntimeDirectoryError(Case::wrongOwner, path);
  if ((status.st_mode & 0077) != 0) throw RuntimeDirectoryError(Case::wrongMode, path);
  std::string normalised = path;
  while (normalised.size() > 1 && normalised.back() == '/') normalised.pop_back();
  return RuntimeDirectory(std::move(normalised));
}

}  // namespace platform::xpc

#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>

namespace platform::xpc {

class RuntimeDirectoryError : public std::runtime_error {
public:
  enum class Case { unusable, wrongOwner, wrongMode, notADirectory, pathTooLong };
  RuntimeDirectoryError(Case which, const std::string& path);
  Case which() const { return case_; }

private:
  Case case_;
};

// The directory that holds the user's sockets. Any process that could write into it could stand in
// for a service, so it is created 0700 and is used only while it is a real directory (never a link)
// owned by the effective user with no access for anyone else.
class RuntimeDirectory {
public:
  // /run/user/<euid>/ro.corvanta.sign when /run/user/<euid> is a directory of the user, else
  // /tmp/ro.corvanta.sign-<euid>.
  static RuntimeDirectory forCurrentUser();
  // The directory at an absolute path, created when missing; its parent must exist.
  static RuntimeDirectory at(const std::string& path);

  const std::string& path() const { return path_; }

private:
  explicit RuntimeDirectory(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace platform::xpc

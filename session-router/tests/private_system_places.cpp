#include "session-router/tests/private_system_places.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace corvanta::testing {
namespace {

// Written once by main() before any other thread exists, read only after.
bool& entered() {
  static bool value = false;
  return value;
}

bool singleThreaded() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8)) == 1;
  }
  return false;
}

bool writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// A user namespace that maps the user (and group) to themselves, so that every identity the tests
// see stays what it is outside.
bool enterOwnUserNamespace(uid_t user, gid_t group) {
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  if (!writeFile("/proc/self/setgroups", "deny") ||
      !writeFile("/proc/self/uid_map", std::to_string(user) + " " + std::to_string(user) + " 1\n") ||
      !writeFile("/proc/self/gid_map", std::to_string(group) + " " + std::to_string(group) + " 1\n")) {
    // Half entered: the process is no longer the user it was, and must not go on as if it were.
    std::fputs("cannot map the user into the test's own user namespace\n", stderr);
    std::_Exit(70);
  }
  return true;
}

// The capabilities the new user namespace gave this process: the programs it starts have none,
// and a process with more than its peer may not be looked at by it (/proc/<pid>/exe).
bool dropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

bool enterPrivateSystemPlaces() {
  if (!singleThreaded()) return false;
  const uid_t user = ::geteuid();
  const gid_t group = ::getegid();
  const bool ownUserNamespace = enterOwnUserNamespace(user, group);
  if (!ownUserNamespace && (user != 0 || ::unshare(CLONE_NEWNS) != 0)) return false;
  const std::string userRuntime = "/run/user/" + std::to_string(user);
  // Nothing mounted here may reach the machine's namespace, hence private first.
  const bool made = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("corvanta-test-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0 &&
                    ::mkdir("/run/user", 0755) == 0 && ::mkdir(userRuntime.c_str(), 0700) == 0;
  // Dropped whether or not the places were made: the tests' other programs run without them.
  if (ownUserNamespace && user != 0 && !dropCapabilities()) {
    std::fputs("cannot drop the capabilities of the test's own user namespace\n", stderr);
    std::_Exit(70);
  }
  entered() = made;
  return made;
}

bool havePrivateSystemPlaces() { return entered(); }

}  // namespace corvanta::testing

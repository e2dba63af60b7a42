#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform::servicemanagement::testing {

// The text of a file under /proc; empty when the process ended before or while it was read, which
// a scan of other processes must expect at any moment.
inline std::string processFileText(const std::filesystem::path& file) {
  std::string text;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[4096];
  for (ssize_t count; (count = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(count));
  ::close(fd);
  return text;
}

// The processes that run now (not merely unreaped) with `text` somewhere in their argument vector:
// how a test finds the agents it started, which are not its children.
inline std::vector<pid_t> runningProcessesWithArgument(std::string_view text) {
  std::vector<pid_t> pids;
  std::error_code error;
  for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
    const auto name = entry->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (processFileText(entry->path() / "cmdline").find(text) == std::string::npos) continue;
    // The state follows the command name, which is in parentheses and may hold any character.
    const auto line = processFileText(entry->path() / "stat");
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z') continue;
    pids.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return pids;
}

// Whether every thread of the process has ended, as the layer judges an agent: a killed process's
// first thread shows as a zombie, and its argument vector as empty, while its other threads may still
// be ending and holding its sockets. Also true once it has been reaped.
inline bool processHasEnded(pid_t pid) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return true;
  pollfd ended{pidfd, POLLIN, 0};
  const bool hasEnded = ::poll(&ended, 1, 0) > 0;
  ::close(pidfd);
  return hasEnded;
}

}  // namespace platform::servicemanagement::testing

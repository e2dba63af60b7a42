#include "platform/servicemanagement/agent_process.hpp"

#include "platform/foundation/unique_fd.hpp"
#include "platform/servicemanagement/service_management_error.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace platform::servicemanagement {
namespace {

using foundation::UniqueFd;
using Case = ServiceManagementError::Case;

// What the process between caller and agent reports: the agent's identity, or why there is none.
struct LaunchReport {
  pid_t pid;
  std::uint64_t startTime;
  int error;
};

// The state letter and start time from a process's stat line. Used between fork and exec too, so
// it allocates nothing and calls only what is safe there.
struct ProcessStat {
  char state = 0;
  std::uint64_t startTime = 0;
};

bool readProcessStat(pid_t pid, ProcessStat& stat) {
  char path[40] = "/proc/";
  char digits[16];
  int count = 0;
  for (auto value = static_cast<unsigned long>(pid); count == 0 || value != 0; value /= 10) {
    digits[count++] = static_cast<char>('0' + value % 10);
  }
  int at = 6;
  while (count > 0) path[at++] = digits[--count];
  for (const char* rest = "/stat"; *rest != '\0'; ++rest) path[at++] = *rest;
  path[at] = '\0';

  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char line[1024];
  ssize_t length = -1;
  do {
    length = ::read(fd, line, sizeof line);
  } while (length < 0 && errno == EINTR);
  ::close(fd);
  if (length <= 0 || length == static_cast<ssize_t>(sizeof line)) return false;

  // The command name (field 2) is in parentheses and may itself hold any character, so the
  // fields are counted from the last ")".
  ssize_t position = length - 1;
  while (position >= 0 && line[position] != ')') --position;
  if (position < 0) return false;
  int field = 2;
  std::uint64_t value = 0;
  bool inNumber = false;
  for (ssize_t i = position + 1; i < length; ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\n') {
      if (field == 22 && inNumber) {
        stat.startTime = value;
        return true;
      }
      ++field;
      inNumber = false;
      value = 0;
      continue;
    }
    if (field == 3) stat.state = c;
    if (field == 22) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      inNumber = true;
    }
  }
  return false;
}

bool writeFully(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t count = ::write(fd, bytes, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

// Bytes read until the pipe closes, at most `size`.
std::size_t readFully(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  std::size_t total = 0;
  while (total < size) {
    const ssize_t count = ::read(fd, bytes + total, size - total);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    total += static_cast<std::size_t>(count);
  }
  return total;
}

// The agent, between fork and exec: only calls that are safe after a fork of a threaded process.
[[noreturn]] void becomeAgent(const char* program, char* const* arguments, int execErrorFd) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaultAction, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  int error = 0;
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0 || ::chdir("/") != 0) error = errno;
  for (int stream = 0; error == 0 && stream < 3; ++stream) {
    if (::dup2(null, stream) < 0) error = errno;
  }
  if (null > 2) ::close(null);
  // Whatever else the caller had open, the agent does not get.
  if (error == 0 && ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 65536; ++fd) {
      const int flags = ::fcntl(fd, F_GETFD);
      if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }
  if (error == 0) {
    char* const environment[] = {nullptr};
    ::execve(program, arguments, environment);
    error = errno;
  }
  writeFully(execErrorFd, &error, sizeof error);
  ::_exit(127);
}

// The process between caller and agent: it leaves the caller's session, starts the agent, reads
// the agent's start time while the agent is still its child (so the identifier cannot have been
// reused yet), reports, and exits, which hands the agent to the system.
[[noreturn]] void startAgentFrom(const char* program, char* const* arguments, int reportFd, int execErrorFd) {
  LaunchReport report{0, 0, 0};
  if (::setsid() < 0) {
    report.error = errno;
  } else {
    const pid_t agent = ::fork();
    if (agent == 0) becomeAgent(program, arguments, execErrorFd);
    if (agent < 0) {
      report.error = errno;
    } else {
      ProcessStat stat;
      report.pid = agent;
      if (readProcessStat(agent, stat)) {
        report.startTime = stat.startTime;
      } else {
        report.error = ESRCH;
      }
    }
  }
  writeFully(reportFd, &report, sizeof report);
  ::_exit(0);
}

UniqueFd openPidfd(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U))); }

// A pidfd is readable once every thread of its process has ended.
bool hasEnded(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0;
}

bool hasStartTime(const AgentInstance& instance, ProcessStat& stat) {
  return readProcessStat(instance.pid, stat) && stat.startTime == instance.startTime;
}

bool endsWithin(int pidfd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (left.count() <= 0) return false;
  }
}

bool signalByPidfd(int pidfd, int signal) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U) == 0 || errno == ESRCH;
}

// Without pidfds: the start time is checked right before each signal; only a process that ended
// and was replaced in between could be hit, a window of microseconds.
bool stopWithoutPidfd(const AgentInstance& instance, std::chrono::milliseconds limit) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    if (!isRunning(instance)) return true;
    if (::kill(instance.pid, signal) != 0 && errno != ESRCH) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (isRunning(instance) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return !isRunning(instance);
}

}  // namespace

AgentInstance startDetached(const AgentDefinition& definition) {
  // Everything the children use is made before the fork: after it they may not allocate.
  std::vector<std::string> argumentStrings = definition.arguments;
  if (argumentStrings.empty()) argumentStrings.push_back(definition.program.string());
  std::vector<char*> arguments;
  for (auto& argument : argumentStrings) arguments.push_back(argument.data());
  arguments.push_back(nullptr);
  const std::string program = definition.program.string();

  int reportPipe[2];
  int execErrorPipe[2];
  if (::pipe2(reportPipe, O_CLOEXEC) != 0) {
    throw ServiceManagementError(Case::launchFailed, std::string("no pipe: ") + std::strerror(errno));
  }
  UniqueFd reportRead(reportPipe[0]);
  UniqueFd reportWrite(reportPipe[1]);
  if (::pipe2(execErrorPipe, O_CLOEXEC) != 0) {
    throw ServiceManagementError(Case::launchFailed, std::string("no pipe: ") + std::strerror(errno));
  }
  UniqueFd execErrorRead(execErrorPipe[0]);
  UniqueFd execErrorWrite(execErrorPipe[1]);

  const pid_t intermediate = ::fork();
  if (intermediate < 0) {
    throw ServiceManagementError(Case::launchFailed, std::string("cannot fork: ") + std::strerror(errno));
  }
  if (intermediate == 0) startAgentFrom(program.c_str(), arguments.data(), reportWrite.get(), execErrorWrite.get());
  reportWrite.reset();
  execErrorWrite.reset();

  LaunchReport report{0, 0, 0};
  const bool reported = readFully(reportRead.get(), &report, sizeof report) == sizeof report;
  int status = 0;
  while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  if (!reported || report.pid <= 0 || report.error != 0) {
    throw ServiceManagementError(Case::launchFailed, "cannot start " + program + ": " +
                                                         std::strerror(reported ? report.error : ECHILD));
  }
  // The pipe closes at a successful exec; before a failed one's exit the agent writes its errno.
  int execError = 0;
  if (readFully(execErrorRead.get(), &execError, sizeof execError) == sizeof execError) {
    throw ServiceManagementError(Case::launchFailed, "cannot execute " + program + ": " + std::strerror(execError));
  }
  return AgentInstance{report.pid, report.startTime};
}

bool isRunning(const AgentInstance& instance) {
  if (instance.pid <= 0) return false;
  ProcessStat stat;
  if (!hasStartTime(instance, stat)) return false;
  // The first thread of a process shows as a zombie as soon as it has ended, while the others
  // may still be ending and still hold the process's sockets; the pidfd tells when all have.
  const UniqueFd pidfd = openPidfd(instance.pid);
  if (!pidfd) return stat.state != 'Z' && stat.state != 'X';
  return hasStartTime(instance, stat) && !hasEnded(pidfd.get());
}

bool stop(const AgentInstance& instance, std::chrono::milliseconds limit) {
  if (instance.pid <= 0) return true;
  const UniqueFd pidfd = openPidfd(instance.pid);
  if (!pidfd) {
    if (errno == ESRCH) return true;
    return stopWithoutPidfd(instance, limit);
  }
  // The pidfd was opened first, so a process still found under the identifier with the recorded
  // start time is the one it refers to.
  ProcessStat stat;
  if (!hasStartTime(instance, stat) || hasEnded(pidfd.get())) return true;
  if (!signalByPidfd(pidfd.get(), SIGTERM)) return false;
  if (endsWithin(pidfd.get(), limit)) return true;
  if (!signalByPidfd(pidfd.get(), SIGKILL)) return false;
  return endsWithin(pidfd.get(), limit);
}

}  // namespace platform::servicemanagement

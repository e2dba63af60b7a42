// An agent for the service management tests. Arguments: a log file, a mode, and socket paths.
// It appends one line to the log telling how it was started, then, in mode "serve", listens on
// the sockets until it is ended; "stubborn" does the same but ignores SIGTERM; "exit" ends at once.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

extern char** environ;

namespace {

std::string linkTarget(const char* path) {
  char target[4096];
  const ssize_t length = ::readlink(path, target, sizeof target - 1);
  return length < 0 ? std::string("?") : std::string(target, static_cast<std::size_t>(length));
}

std::string openDescriptors() {
  std::string list;
  DIR* directory = ::opendir("/proc/self/fd");
  if (!directory) return "?";
  const int own = ::dirfd(directory);
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == own) continue;
    list += (list.empty() ? "" : ",") + std::string(entry->d_name);
  }
  ::closedir(directory);
  return list;
}

int blockedSignals() {
  sigset_t mask;
  ::sigprocmask(SIG_SETMASK, nullptr, &mask);
  int count = 0;
  for (int signal = 1; signal < NSIG; ++signal) count += ::sigismember(&mask, signal) == 1 ? 1 : 0;
  return count;
}

int ignoredSignals() {
  int count = 0;
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[2];
  int environment = 0;
  for (char** entry = environ; entry && *entry; ++entry) ++environment;
  char cwd[4096] = "?";
  if (!::getcwd(cwd, sizeof cwd)) std::strcpy(cwd, "?");
  // Read before the log is opened, so that it does not count.
  const std::string descriptors = openDescriptors();
  const std::string line = "pid=" + std::to_string(::getpid()) + " ppid=" + std::to_string(::getppid()) +
                           " sid=" + std::to_string(::getsid(0)) + " env=" + std::to_string(environment) +
                           " fds=" + descriptors + " cwd=" + cwd + " stdin=" + linkTarget("/proc/self/fd/0") +
                           " stdout=" + linkTarget("/proc/self/fd/1") + " stderr=" + linkTarget("/proc/self/fd/2") +
                           " blocked=" + std::to_string(blockedSignals()) +
                           " ignored=" + std::to_string(ignoredSignals()) + " args=" + std::to_string(argc) + "\n";
  if (mode == "stubborn") ::signal(SIGTERM, SIG_IGN);
  const int log = ::open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (log < 0 || ::write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 3;
  ::close(log);
  if (mode == "exit") return 75;
  for (int i = 3; i < argc; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[i], sizeof address.sun_path - 1);
    ::unlink(argv[i]);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
      return 4;
    }
  }
  for (;;) ::pause();
}

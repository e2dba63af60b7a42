#include "platform/tokenkit/host/extension_process.hpp"

#include "platform/foundation/unique_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace platform::tokenkit {
namespace {

// The descriptor the extension serves its host on (see extension_main.hpp).
constexpr int hostDescriptor = 3;

class SpawnActions {
public:
  SpawnActions() { check(::posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init"); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

  static void check(int error, const char* what) {
    if (error != 0) throw std::system_error(error, std::generic_category(), what);
  }

private:
  posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
public:
  SpawnAttributes() { SpawnActions::check(::posix_spawnattr_init(&attributes_), "posix_spawnattr_init"); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

private:
  posix_spawnattr_t attributes_{};
};

}  // namespace

ExtensionProcess::ExtensionProcess(const std::filesystem::path& executable, int socket) {
  // The socket moves to a number above the host descriptor first, so that the duplication onto 3
  // in the child is a real one, which clears close-on-exec there and only there.
  const foundation::UniqueFd above(::fcntl(socket, F_DUPFD_CLOEXEC, hostDescriptor + 1));
  if (!above) throw std::system_error(errno, std::generic_category(), "fcntl(F_DUPFD_CLOEXEC)");

  SpawnActions actions;
  SpawnActions::check(::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0),
                      "posix_spawn_file_actions_addopen");
  SpawnActions::check(::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
                      "posix_spawn_file_actions_addopen");
  SpawnActions::check(::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0),
                      "posix_spawn_file_actions_addopen");
  SpawnActions::check(::posix_spawn_file_actions_adddup2(actions.get(), above.get(), hostDescriptor),
                      "posix_spawn_file_actions_adddup2");
  // Descriptors of the host that are not close-on-exec (a library's, an inherited one) stay behind.
  SpawnActions::check(::posix_spawn_file_actions_addclosefrom_np(actions.get(), hostDescriptor + 1),
                      "posix_spawn_file_actions_addclosefrom_np");

  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal = 1; signal < 32; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) sigaddset(&defaults, signal);
  }
  SpawnActions::check(::posix_spawnattr_setsigmask(attributes.get(), &none), "posix_spawnattr_setsigmask");
  SpawnActions::check(::posix_spawnattr_setsigdefault(attributes.get(), &defaults), "posix_spawnattr_setsigdefault");
  SpawnActions::check(::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
                      "posix_spawnattr_setflags");

  std::string path = executable.string();
  char* arguments[] = {path.data(), nullptr};
  char* environment[] = {nullptr};
  SpawnActions::check(::posix_spawn(&pid_, path.c_str(), actions.get(), attributes.get(), arguments, environment),
                      "posix_spawn");
}

ExtensionProcess::~ExtensionProcess() { end(std::chrono::milliseconds(0)); }

void ExtensionProcess::end(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  if (grace.count() > 0) {
    // A process descriptor tells when the child ends without polling its status; where there is
    // none, the child is killed at once.
    const foundation::UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (process) {
      pollfd ended{process.get(), POLLIN, 0};
      const auto deadline = std::chrono::steady_clock::now() + grace;
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const int ready = ::poll(&ended, 1, static_cast<int>(left.count()));
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
      }
    }
  }
  // Not reaped yet, so the pid still names this child and no other process.
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace platform::tokenkit

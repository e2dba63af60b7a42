#include "platform/tokenkit/prompt/pinentry_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace platform::tokenkit {
namespace {

using foundation::UniqueFd;

// posix_spawn's attribute and file-action objects, released on every way out.
class SpawnSettings {
public:
  SpawnSettings() {
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSettings() {
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // The child's descriptors 0 and 1 become `channel`, 2 becomes /dev/null, and every other one
  // is closed, so a descriptor of the host that someone opened without close-on-exec does not
  // reach the pinentry either. Signals are unblocked and back to their defaults: a host that
  // ignores SIGPIPE or SIGINT must not hand that on.
  bool prepare(int channel) {
    if (!attributesReady_ || !actionsReady_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, channel, STDIN_FILENO) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, channel, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
  }

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

private:
  posix_spawnattr_t attributes_{};
  posix_spawn_file_actions_t actions_{};
  bool attributesReady_ = false;
  bool actionsReady_ = false;
};

// The argument and environment arrays posix_spawn takes; they point into the strings given.
std::vector<char*> nullTerminated(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& string : strings) pointers.push_back(const_cast<char*>(string.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::optional<PinentryProcess> PinentryProcess::start(const std::filesystem::path& program,
                                                      const std::vector<std::string>& arguments,
                                                      const std::vector<std::string>& environment) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return std::nullopt;
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  // Only our end waits without blocking; the pinentry reads its end as an ordinary blocking input.
  const int flags = ::fcntl(ours.get(), F_GETFL);
  if (flags < 0 || ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::nullopt;

  SpawnSettings settings;
  if (!settings.prepare(theirs.get())) return std::nullopt;

  std::vector<std::string> argumentStrings;
  argumentStrings.reserve(arguments.size() + 1);
  argumentStrings.push_back(program.string());
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  const auto argv = nullTerminated(argumentStrings);
  const auto envp = nullTerminated(environment);

  pid_t pid = -1;
  if (::posix_spawn(&pid, argumentStrings.front().c_str(), settings.actions(), settings.attributes(), argv.data(),
                    envp.data()) != 0) {
    return std::nullopt;
  }
  return PinentryProcess(pid, std::move(ours));
}

PinentryProcess::PinentryProcess(PinentryProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), channel_(std::move(other.channel_)) {}

PinentryProcess::~PinentryProcess() { killAndReap(); }

void PinentryProcess::end(std::chrono::milliseconds grace) {
  // The channel stays open while the child ends, so that its last answer (to BYE) finds a reader
  // instead of raising SIGPIPE in it.
  const auto giveUp = std::chrono::steady_clock::now() + grace;
  // A process descriptor wakes us the moment the child ends; a prompt is asked for once per
  // signature, so sleeping in slices would add to every one. Slices only where there is none.
  const foundation::UniqueFd process(pid_ >= 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)) : -1);
  while (!reapIfEnded()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (process) {
      pollfd ended{process.get(), POLLIN, 0};
      if (::poll(&ended, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    } else {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
    }
  }
  killAndReap();
}

void PinentryProcess::kill() { killAndReap(); }

bool PinentryProcess::reapIfEnded() {
  if (pid_ < 0) return true;
  for (;;) {
    const pid_t reaped = ::waitpid(pid_, nullptr, WNOHANG);
    if (reaped == 0) return false;
    if (reaped < 0 && errno == EINTR) continue;
    // Reaped now, or (ECHILD) no longer ours to reap: either way there is nothing left to wait for.
    pid_ = -1;
    return true;
  }
}

void PinentryProcess::killAndReap() {
  channel_.reset();
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace platform::tokenkit

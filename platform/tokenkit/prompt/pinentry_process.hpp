#pragma once

#include "platform/foundation/unique_fd.hpp"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::tokenkit {

// One running pinentry: a child process whose standard input and output are one end of a socket
// pair and whose standard error is /dev/null. It holds no other descriptor of ours, runs with
// exactly the environment it is given and with default signal handling, and is reaped on every
// way out: the owner going kills it first when it still runs.
class PinentryProcess {
public:
  // Starts `program` with `arguments` (after its own name) and `environment` ("NAME=value"
  // entries). None when the program cannot be started.
  static std::optional<PinentryProcess> start(const std::filesystem::path& program,
                                              const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& environment);

  PinentryProcess(PinentryProcess&& other) noexcept;
  PinentryProcess& operator=(PinentryProcess&&) = delete;
  PinentryProcess(const PinentryProcess&) = delete;
  PinentryProcess& operator=(const PinentryProcess&) = delete;
  ~PinentryProcess();

  // Our end of the conversation: non-blocking, close-on-exec. A write to it never raises SIGPIPE
  // when sent with MSG_NOSIGNAL, which a pinentry that has gone would otherwise cause.
  int channel() const { return channel_.get(); }
  pid_t pid() const { return pid_; }

  // Gives the child up to `grace` to end by itself (a pinentry ends once told BYE or once its
  // input ends), then kills it; reaps it either way and closes the channel.
  void end(std::chrono::milliseconds grace);

  // Kills the child and reaps it at once.
  void kill();

private:
  PinentryProcess(pid_t pid, foundation::UniqueFd channel) : pid_(pid), channel_(std::move(channel)) {}

  bool reapIfEnded();
  void killAndReap();

  pid_t pid_ = -1;  // -1 once reaped
  foundation::UniqueFd channel_;
};

}  // namespace platform::tokenkit

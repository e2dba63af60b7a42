#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>

namespace platform::tokenkit {

// A token extension process the host started, ended and reaped when its owner goes.
class ExtensionProcess {
public:
  // Starts the executable with the socket as its descriptor 3 and nothing else of the host: standard
  // input, output and error on /dev/null, every other descriptor closed, an empty environment, no
  // argument but argv[0], default signal dispositions and an empty signal mask. Throws
  // std::system_error when it cannot be started.
  ExtensionProcess(const std::filesystem::path& executable, int socket);
  ~ExtensionProcess();
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Gives the process up to `grace` to end by itself, kills it after that, and reaps it. Nothing
  // when it was already reaped.
  void end(std::chrono::milliseconds grace);

private:
  pid_t pid_ = -1;
};

}  // namespace platform::tokenkit

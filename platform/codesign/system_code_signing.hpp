#pragma once

#include "platform/codesign/code_signing.hpp"

#include <sys/types.h>

#include <filesystem>
#include <functional>

namespace platform::codesign {

// How a peer's identity is tied to the process that had its identifier while it was read.
enum class ReuseGuard {
  // A pidfd where the kernel gives one (it stays bound to that one process, and tells when it
  // ends); the start time otherwise.
  automatic,
  // The start time in the process's stat file, read before and after: a new process under the
  // same identifier has another. Tests use it with a process directory of their own.
  startTime,
};

// Code identities read from the executables of running processes through the process directory.
class SystemCodeSigning final : public CodeSigning {
public:
  struct Options {
    std::filesystem::path processDirectory = "/proc";
    ReuseGuard guard = ReuseGuard::automatic;
    // Runs after a peer's executable was read and before the process is checked again: a test
    // ends or replaces the process there to see that the identity is then refused.
    std::function<void(pid_t)> afterReadingPeer;
  };

  SystemCodeSigning() = default;
  explicit SystemCodeSigning(Options options) : options_(std::move(options)) {}

  std::optional<CodeIdentity> selfIdentity() const override;
  std::optional<CodeIdentity> identityOfProcess(pid_t processIdentifier) const override;

private:
  std::optional<CodeIdentity> readGuardedByPidfd(pid_t processIdentifier, int pidfd) const;
  std::optional<CodeIdentity> readGuardedByStartTime(pid_t processIdentifier) const;
  std::optional<CodeIdentity> readExecutableOf(const std::filesystem::path& processPath) const;

  Options options_;
};

}  // namespace platform::codesign

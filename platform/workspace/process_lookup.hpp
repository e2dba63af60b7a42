#pragma once

#include "platform/workspace/workspace.hpp"

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace platform::workspace {

// The running process `processIdentifier` as an application, read from the process directory
// (`/proc`, or a copy of its layout in tests): none when there is no such process, when it is a
// thread of another process, or when it has exited and waits for its parent (a zombie). The
// identifier comes from its executable (see identifierForExecutable) and is absent when the
// executable cannot be read (a process of another user, a kernel thread). Reads a few small
// files and never waits for anything.
std::optional<RunningApplication> lookUpProcess(pid_t processIdentifier,
                                                const std::filesystem::path& processDirectory = "/proc");

}  // namespace platform::workspace

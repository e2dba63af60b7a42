#pragma once

#include "platform/servicemanagement/agent_definition.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace platform::servicemanagement {

// One started agent: its process identifier, and the start time the kernel gave that process,
// which a later process under the same identifier does not have.
struct AgentInstance {
  pid_t pid = 0;
  std::uint64_t startTime = 0;

  friend bool operator==(const AgentInstance&, const AgentInstance&) = default;
};

// Starts the agent's program detached from the caller: in a session of its own, not a child of
// the caller (whose exit or waits it outlives), with its standard streams on /dev/null, an empty
// environment, "/" as its directory, default signal handling and no other descriptor of the
// caller. Returns once the program has been executed; throws launchFailed when it could not be.
AgentInstance startDetached(const AgentDefinition& definition);

// Whether that process still runs: some thread of it has not ended (an unreaped process has).
bool isRunning(const AgentInstance& instance);

// Ends the process: SIGTERM, then SIGKILL once `limit` has passed. True once it has ended (or
// had already); false when it could not be signalled or outlived the kill by `limit` again.
bool stop(const AgentInstance& instance, std::chrono::milliseconds limit);

}  // namespace platform::servicemanagement

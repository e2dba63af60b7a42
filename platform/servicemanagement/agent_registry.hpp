#pragma once

#include "platform/runtime/continuous_clock.hpp"
#include "platform/servicemanagement/agent_definition.hpp"
#include "platform/servicemanagement/agent_process.hpp"
#include "platform/servicemanagement/state_files.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::servicemanagement {

// How agents are started and stopped; tests shorten the limits and move the clock themselves.
struct AgentOptions {
  // Times the starts on demand; its instants are compared across processes.
  std::reference_wrapper<const runtime::ContinuousClock> clock = runtime::ContinuousClock::system();
  // The least time between two starts on demand, so that an agent that keeps exiting is not
  // started again for every connection that finds it gone.
  runtime::ContinuousClock::Duration throttle = std::chrono::seconds(10);
  // What a stopped agent is given to end after SIGTERM, and again after SIGKILL.
  std::chrono::milliseconds stopLimit = std::chrono::seconds(5);
  // How long a caller waits for another process's registration, start or stop of the same agent.
  std::chrono::milliseconds lockWait = std::chrono::seconds(20);
};

// One registered agent as the user's state directory keeps it.
struct AgentRecord {
  AgentDefinition definition;
  // The process last started for it; it may have ended since.
  std::optional<AgentInstance> instance;
  // When that was, on the options' clock.
  std::optional<runtime::ContinuousClock::Instant> launchedAt;

  friend bool operator==(const AgentRecord&, const AgentRecord&) = default;
};

Bytes encodeAgentRecord(const AgentRecord& record);
// None for anything that is not a record as encodeAgentRecord writes it.
std::optional<AgentRecord> decodeAgentRecord(const Bytes& bytes);

// The registrations of one user, one record file per agent (named after the agent's property
// list) beside its lock file. Every change happens under the agent's lock, so two processes that
// register, start or stop the same agent take turns.
class AgentRegistry {
public:
  AgentRegistry(std::filesystem::path stateDirectory, AgentOptions options);

  // The agent's lock, taken; creates the state directory when missing.
  FileLock lock(const std::string& agentName) const;

  std::optional<AgentRecord> read(const std::string& agentName) const;
  void write(const std::string& agentName, const AgentRecord& record) const;
  void remove(const std::string& agentName) const;
  // Every agent with a record, by name.
  std::vector<std::string> agentNames() const;

  // Under the agent's lock: the running instance of the record, or a new one started now (and
  // written into the record). A start on demand respects the throttle: none when the last start
  // was too recent.
  enum class Start { always, onDemand };
  std::optional<AgentInstance> ensureRunning(const std::string& agentName, AgentRecord& record, Start start) const;

  const AgentOptions& options() const { return options_; }

private:
  std::filesystem::path recordFile(const std::string& agentName) const;

  std::filesystem::path directory_;
  AgentOptions options_;
};

// Whether a name can be an agent's: a property list's file name without a path.
bool isAgentName(const std::string& name);

}  // namespace platform::servicemanagement

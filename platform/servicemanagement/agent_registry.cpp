#include "platform/servicemanagement/agent_registry.hpp"

#include "platform/servicemanagement/property_list.hpp"
#include "platform/servicemanagement/service_management_error.hpp"

#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>
#include <system_error>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;

constexpr std::string_view recordSuffix = ".agent";
constexpr std::string_view lockSuffix = ".lock";

}  // namespace

bool isAgentName(const std::string& name) {
  return !name.empty() && name.size() <= 200 && name.front() != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

Bytes encodeAgentRecord(const AgentRecord& record) {
  const PropertyList root(plist_new_dict(), &plist_free);
  addAgentDefinition(root.get(), record.definition);
  if (record.instance) {
    plist_dict_set_item(root.get(), "PID", plist_new_uint(static_cast<std::uint64_t>(record.instance->pid)));
    plist_dict_set_item(root.get(), "StartTime", plist_new_uint(record.instance->startTime));
  }
  if (record.launchedAt) {
    plist_dict_set_item(root.get(), "LaunchedAt",
                        plist_new_uint(static_cast<std::uint64_t>(record.launchedAt->nanoseconds())));
  }
  return xmlOf(root.get());
}

std::optional<AgentRecord> decodeAgentRecord(const Bytes& bytes) {
  const auto root = parsePropertyList(bytes);
  if (!root) return std::nullopt;
  auto definition = agentDefinitionIn(root->get(), std::nullopt);
  if (!definition) return std::nullopt;
  AgentRecord record{std::move(*definition), std::nullopt, std::nullopt};
  const auto pid = unsignedEntry(root->get(), "PID");
  const auto startTime = unsignedEntry(root->get(), "StartTime");
  if (pid.has_value() != startTime.has_value()) return std::nullopt;
  if (pid) {
    if (*pid == 0 || *pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return std::nullopt;
    record.instance = AgentInstance{static_cast<pid_t>(*pid), *startTime};
  }
  if (const auto launchedAt = unsignedEntry(root->get(), "LaunchedAt")) {
    if (*launchedAt > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    record.launchedAt = runtime::ContinuousClock::Instant::fromNanoseconds(static_cast<std::int64_t>(*launchedAt));
  }
  return record;
}

AgentRegistry::AgentRegistry(std::filesystem::path stateDirectory, AgentOptions options)
    : directory_(std::move(stateDirectory)), options_(options) {}

std::filesystem::path AgentRegistry::recordFile(const std::string& agentName) const {
  if (!isAgentName(agentName)) throw ServiceManagementError(Case::notFound, "not an agent name: " + agentName);
  return directory_ / (agentName + std::string(recordSuffix));
}

FileLock AgentRegistry::lock(const std::string& agentName) const {
  const auto file = recordFile(agentName);
  ensurePrivateDirectory(directory_);
  return FileLock(directory_ / (agentName + std::string(lockSuffix)), options_.lockWait);
}

std::optional<AgentRecord> AgentRegistry::read(const std::string& agentName) const {
  const auto contents = readSmallFile(recordFile(agentName), FileOwner::user);
  if (!contents) {
    if (contents.error() == ENOENT || contents.error() == ENOTDIR) return std::nullopt;
    throw ServiceManagementError(Case::stateUnavailable, "cannot read the registration of " + agentName);
  }
  // A record nobody can read is no registration; writing the agent's next one replaces it.
  return decodeAgentRecord(contents.value());
}

void AgentRegistry::write(const std::string& agentName, const AgentRecord& record) const {
  ensurePrivateDirectory(directory_);
  replaceFile(recordFile(agentName), encodeAgentRecord(record));
}

void AgentRegistry::remove(const std::string& agentName) const {
  if (::unlink(recordFile(agentName).c_str()) != 0 && errno != ENOENT) {
    throw ServiceManagementError(Case::stateUnavailable, "cannot remove the registration of " + agentName);
  }
}

std::vector<std::string> AgentRegistry::agentNames() const {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory_, error), end; !error && entry != end;
       entry.increment(error)) {
    const auto file = entry->path().filename().string();
    if (file.size() <= recordSuffix.size() || !file.ends_with(recordSuffix)) continue;
    auto name = file.substr(0, file.size() - recordSuffix.size());
    if (isAgentName(name)) names.push_back(std::move(name));
  }
  return names;
}

std::optional<AgentInstance> AgentRegistry::ensureRunning(const std::string& agentName, AgentRecord& record,
                                                         Start start) const {
  if (record.instance && isRunning(*record.instance)) return record.instance;
  const auto now = options_.clock.get().now();
  if (start == Start::onDemand && record.launchedAt && now >= *record.launchedAt &&
      now.durationSince(*record.launchedAt) < options_.throttle) {
    return std::nullopt;
  }
  record.launchedAt = now;
  try {
    record.instance = startDetached(record.definition);
  } catch (const ServiceManagementError&) {
    // A program that cannot be started is throttled like one that exits at once.
    record.instance.reset();
    write(agentName, record);
    throw;
  }
  write(agentName, record);
  return record.instance;
}

}  // namespace platform::servicemanagement

#include "platform/servicemanagement/on_demand_launcher.hpp"

#include "platform/servicemanagement/service_management_error.hpp"

namespace platform::servicemanagement {

OnDemandLauncher::OnDemandLauncher(std::filesystem::path stateDirectory, AgentOptions options)
    : registry_(std::move(stateDirectory), options) {}

bool OnDemandLauncher::launch(const std::string& serviceName) {
  if (!isServiceName(serviceName)) return false;
  // Any failure means the connection fails as if nothing served the name; nothing of it may
  // escape onto the thread that asked.
  try {
    for (const auto& name : registry_.agentNames()) {
      const auto candidate = registry_.read(name);
      if (!candidate || !candidate->definition.publishes(serviceName)) continue;
      // Read again under the lock: the agent may have been unregistered or started meanwhile.
      const auto lock = registry_.lock(name);
      auto record = registry_.read(name);
      if (!record || !record->definition.publishes(serviceName)) return false;
      return registry_.ensureRunning(name, *record, AgentRegistry::Start::onDemand).has_value();
    }
  } catch (const std::exception&) {
  }
  return false;
}

}  // namespace platform::servicemanagement

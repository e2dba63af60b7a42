#pragma once

#include "platform/servicemanagement/agent_registry.hpp"
#include "platform/xpc/context.hpp"

#include <filesystem>
#include <string>

namespace platform::servicemanagement {

// Starts a registered agent when a connection to one of its services finds it not running, as
// long as the agent stays registered; a context's connections ask it (ContextOptions::launcher).
// Starts are throttled: an agent started less than the throttle ago is not started again.
class OnDemandLauncher final : public xpc::ServiceLauncher {
public:
  explicit OnDemandLauncher(std::filesystem::path stateDirectory, AgentOptions options = {});

  // True while a registered agent publishing the name runs, or once it was started now.
  bool launch(const std::string& serviceName) override;

private:
  AgentRegistry registry_;
};

}  // namespace platform::servicemanagement

#pragma once

#include "platform/servicemanagement/agent_registry.hpp"
#include "platform/servicemanagement/service_management_error.hpp"
#include "platform/servicemanagement/service_paths.hpp"

#include <functional>
#include <optional>
#include <string>

namespace platform::servicemanagement {

enum class ServiceStatus : int {
  notRegistered = 0,
  enabled = 1,
  // The user must allow the item first; there is no such approval on Linux, so never reported.
  requiresApproval = 2,
  notFound = 3,  // the bundle has no valid property list of that name
};

// One launch agent of the app bundle, by the name of its property list. Registering it records it
// for the user and starts it; from then on a connection to one of its services starts it again
// whenever it is not running (see OnDemandLauncher), until it is unregistered.
class AppService {
public:
  static AppService agent(ServicePaths paths, std::string propertyListName, AgentOptions options = {});

  ServiceStatus status() const;

  // Records the agent from the bundle's property list and starts it unless it runs. Registering
  // a registered agent renews its record. Throws ServiceManagementError: notFound or
  // invalidPropertyList for the property list, stateUnavailable, or launchFailed (the agent is
  // then not registered).
  void registerService() const;

  // Stops the running agent, removes its service sockets and its record, then calls the
  // completion once, with no error or with notRegistered, stopFailed or stateUnavailable. It runs
  // on the calling thread, which it holds while the agent ends (at most twice the stop limit).
  void unregister(const std::function<void(std::optional<ServiceManagementError>)>& completion) const;

private:
  AppService(ServicePaths paths, std::string propertyListName, AgentOptions options);
  void unregisterService() const;

  ServicePaths paths_;
  std::string name_;
  AgentRegistry registry_;
};

}  // namespace platform::servicemanagement

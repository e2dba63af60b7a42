#include "platform/servicemanagement/app_service.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;

// A socket the agent leaves behind would let the next connection find a name that is gone.
void removeSocket(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) ::unlink(path.c_str());
}

}  // namespace

AppService AppService::agent(ServicePaths paths, std::string propertyListName, AgentOptions options) {
  return AppService(std::move(paths), std::move(propertyListName), options);
}

AppService::AppService(ServicePaths paths, std::string propertyListName, AgentOptions options)
    : paths_(std::move(paths)), name_(std::move(propertyListName)), registry_(paths_.stateDirectory, options) {}

ServiceStatus AppService::status() const {
  if (!isAgentName(name_)) return ServiceStatus::notFound;
  try {
    readAgentPropertyList(paths_.launchAgentsDirectory() / name_, paths_.bundle);
  } catch (const ServiceManagementError&) {
    return ServiceStatus::notFound;
  }
  try {
    return registry_.read(name_) ? ServiceStatus::enabled : ServiceStatus::notRegistered;
  } catch (const ServiceManagementError&) {
    return ServiceStatus::notRegistered;
  }
}

void AppService::registerService() const {
  if (!isAgentName(name_)) throw ServiceManagementError(Case::notFound, "not a property list name: " + name_);
  auto definition = readAgentPropertyList(paths_.launchAgentsDirectory() / name_, paths_.bundle);
  const auto lock = registry_.lock(name_);
  auto previous = registry_.read(name_);
  AgentRecord record{std::move(definition), std::nullopt, std::nullopt};
  // An agent already running for the registration keeps running; it is not started twice.
  if (previous) {
    record.instance = previous->instance;
    record.launchedAt = previous->launchedAt;
  }
  registry_.write(name_, record);
  try {
    registry_.ensureRunning(name_, record, AgentRegistry::Start::always);
  } catch (const ServiceManagementError& error) {
    if (error.which() == Case::launchFailed) registry_.remove(name_);
    throw;
  }
}

void AppService::unregister(const std::function<void(std::optional<ServiceManagementError>)>& completion) const {
  std::optional<ServiceManagementError> failure;
  try {
    unregisterService();
  } catch (const ServiceManagementError& error) {
    failure = error;
  }
  if (completion) completion(std::move(failure));
}

void AppService::unregisterService() const {
  if (!isAgentName(name_)) throw ServiceManagementError(Case::notRegistered, "not a property list name: " + name_);
  const auto lock = registry_.lock(name_);
  const auto record = registry_.read(name_);
  if (!record) throw ServiceManagementError(Case::notRegistered, name_ + " is not registered");
  if (record->instance && !stop(*record->instance, registry_.options().stopLimit)) {
    throw ServiceManagementError(Case::stopFailed, "the agent of " + name_ + " does not end");
  }
  for (const auto& service : record->definition.machServices) removeSocket(paths_.runtimeDirectory / service);
  registry_.remove(name_);
}

}  // namespace platform::servicemanagement

#pragma once

#include <stdexcept>
#include <string>

namespace platform::servicemanagement {

class ServiceManagementError : public std::runtime_error {
public:
  enum class Case {
    notFound,             // the bundle has no property list of that name
    invalidPropertyList,  // the property list is not a launch agent this layer can start
    notRegistered,        // unregistering an agent that is not registered
    stateUnavailable,     // the user's registrations cannot be read or written safely
    launchFailed,         // the agent's program could not be started
    stopFailed,           // the running agent could not be ended
  };

  ServiceManagementError(Case which, const std::string& what);
  Case which() const { return case_; }

  friend bool operator==(const ServiceManagementError& left, const ServiceManagementError& right) {
    return left.case_ == right.case_;
  }

private:
  Case case_;
};

}  // namespace platform::servicemanagement

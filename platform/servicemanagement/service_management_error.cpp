#include "platform/servicemanagement/service_management_error.hpp"

namespace platform::servicemanagement {

ServiceManagementError::ServiceManagementError(Case which, const std::string& what)
    : std::runtime_error(what), case_(which) {}

}  // namespace platform::servicemanagement

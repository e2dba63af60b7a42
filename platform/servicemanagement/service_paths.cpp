#include "platform/servicemanagement/service_paths.hpp"

#include "platform/servicemanagement/service_management_error.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace platform::servicemanagement {
namespace {

std::filesystem::path homeOfEffectiveUser() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir ||
      found->pw_dir[0] != '/') {
    throw ServiceManagementError(ServiceManagementError::Case::stateUnavailable, "the user has no home directory");
  }
  return found->pw_dir;
}

}  // namespace

ServicePaths ServicePaths::forCurrentUser() {
  return ServicePaths{CORVANTA_BUNDLE_DIR, homeOfEffectiveUser() / ".config/ro.corvanta.sm",
                      xpc::RuntimeDirectory::forCurrentUser().path()};
}

}  // namespace platform::servicemanagement

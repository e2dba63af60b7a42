#include "connection/service/account_profile.hpp"

#include <utility>

namespace corvanta {

AccountProfile::AccountProfile(std::string sub, std::optional<std::string> name,
                               std::optional<std::string> preferredUsername)
    : sub_(std::move(sub)), name_(std::move(name)), preferredUsername_(std::move(preferredUsername)) {}

AccountProfile AccountProfile::fromJSON(const platform::foundation::JSONObjectReader& reader) {
  auto sub = reader.required<std::string>("sub");
  auto name = reader.optional<std::string>("name");
  auto preferredUsername = reader.optional<std::string>("preferred_username");
  return AccountProfile(std::move(sub), std::move(name), std::move(preferredUsername));
}

std::string AccountProfile::displayName() const {
  if (name_) return *name_;
  if (preferredUsername_) return *preferredUsername_;
  return "Corvanta account";
}

}  // namespace corvanta

#include "connection/service/account_role.hpp"

#include <utility>

namespace corvanta {

AccountRole::AccountRole(std::string roleUuid, std::optional<std::string> roleName,
                         std::optional<std::string> roleCode, std::optional<std::string> companyName,
                         bool isPersonal)
    : roleUuid_(std::move(roleUuid)),
      roleName_(std::move(roleName)),
      roleCode_(std::move(roleCode)),
      companyName_(std::move(companyName)),
      isPersonal_(isPersonal) {}

AccountRole AccountRole::fromJSON(const platform::foundation::JSONObjectReader& reader) {
  auto roleUuid = reader.required<std::string>("role_uuid");
  auto roleName = reader.optional<std::string>("role_name");
  auto roleCode = reader.optional<std::string>("role_code");
  auto companyName = reader.optional<std::string>("company_name");
  const auto isPersonal = reader.required<bool>("is_personal");
  return AccountRole(std::move(roleUuid), std::move(roleName), std::move(roleCode), std::move(companyName),
                     isPersonal);
}

std::string AccountRole::displayName() const {
  if (isPersonal_) return "Personal account";

  const auto& roleLabel = roleName_ ? roleName_ : roleCode_;
  std::string result;
  for (const auto* candidate : {&companyName_, &roleLabel}) {
    if (!*candidate || (*candidate)->empty()) continue;
    if (!result.empty()) result += " \u00B7 ";
    result += **candidate;
  }
  return result;
}

}  // namespace corvanta

#pragma once

#include "platform/foundation/json_coding.hpp"

#include <optional>
#include <string>

namespace corvanta {

// One role of the account: the personal role or a role in a company, identified by its role UUID.
// One element of the roles answer's "data.roles":
//   {"role_uuid": string, "role_name": string?, "role_code": string?, "company_name": string?,
//    "is_personal": boolean}
// "is_personal" must be a JSON boolean: 0 and 1 are refused. The role UUID is taken as it comes;
// the service client checks it (non-empty, no newline, distinct).
class AccountRole {
public:
  AccountRole(std::string roleUuid, std::optional<std::string> roleName, std::optional<std::string> roleCode,
              std::optional<std::string> companyName, bool isPersonal);

  static AccountRole fromJSON(const platform::foundation::JSONObjectReader& reader);

  const std::string& roleUuid() const { return roleUuid_; }
  const std::optional<std::string>& roleName() const { return roleName_; }
  const std::optional<std::string>& roleCode() const { return roleCode_; }
  const std::optional<std::string>& companyName() const { return companyName_; }
  bool isPersonal() const { return isPersonal_; }

  // The role UUID.
  const std::string& id() const { return roleUuid_; }

  // "Personal account" for the personal role, whatever else it holds. Otherwise the company name
  // and the role name (the role code when there is no role name) joined by " · "; an empty one is
  // left out together with its separator, so the result can be empty. A present but empty role
  // name still wins over the code and is then left out.
  std::string displayName() const;

  friend bool operator==(const AccountRole&, const AccountRole&) = default;

private:
  std::string roleUuid_;
  std::optional<std::string> roleName_;
  std::optional<std::string> roleCode_;
  std::optional<std::string> companyName_;
  bool isPersonal_;
};

}  // namespace corvanta

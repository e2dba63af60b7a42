#pragma once

#include "platform/foundation/json_coding.hpp"

#include <optional>
#include <string>

namespace corvanta {

// The signed-in user as the identity provider's userinfo endpoint describes it. The userinfo body
// is this object itself, without the REST API's envelope:
//   {"sub": string, "name": string?, "preferred_username": string?}
// Decode it with platform::foundation::decodeJSON<AccountProfile>(body); a malformed body throws
// the DecodingError unchanged. An empty "sub" decodes; the service client refuses it.
class AccountProfile {
public:
  AccountProfile(std::string sub, std::optional<std::string> name, std::optional<std::string> preferredUsername);

  static AccountProfile fromJSON(const platform::foundation::JSONObjectReader& reader);

  const std::string& sub() const { return sub_; }
  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& preferredUsername() const { return preferredUsername_; }

  // The name, else the preferred user name, else "Corvanta account". Only absence falls through:
  // a present empty name gives an empty display name.
  std::string displayName() const;

  friend bool operator==(const AccountProfile&, const AccountProfile&) = default;

private:
  std::string sub_;
  std::optional<std::string> name_;
  std::optional<std::string> preferredUsername_;
};

}  // namespace corvanta

#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvanta {

// The signature and authentication allowances of one role, derived from the billing answer. Each
// value may be absent: the service did not say.
class RoleAllowances {
public:
  RoleAllowances(std::optional<std::int64_t> signaturesRemaining, std::optional<std::int64_t> authenticationRights,
                 std::optional<std::int64_t> signaturesFromOtherRoles, std::optional<bool> authenticationAvailable);

  // Decodes and checks the body of a billing answer with status 200:
  //   {"success": 1, "data": {"entitlements": [{"code": string, "remaining": integer?}],
  //     "spendable_across_roles": {string: {"other_roles": integer, "total": integer}}?}}
  // Every entitlement and every pool must decode, whatever its code or key. The codes read are
  // "one_sided_documents" (signatures) and "authentication_rights" (authentications), matched
  // ignoring letter case; the pools are looked up under the same two keys exactly. Throws:
  // - the DecodingError of the JSON coding, unchanged, for malformed JSON or a missing or
  //   mistyped member (a boolean "success" included);
  // - ConnectionError::invalidResponse when "success" is not 1, when a code read is there more
  //   than once, when its "remaining" is negative, or when a pool looked up has a negative
  //   "other_roles" or "total".
  static RoleAllowances fromData(platform::ByteView data);

  // "remaining" of "one_sided_documents": 0 when there is no such entitlement, absent when it
  // has no "remaining".
  std::optional<std::int64_t> signaturesRemaining() const { return signaturesRemaining_; }
  // The same for "authentication_rights".
  std::optional<std::int64_t> authenticationRights() const { return authenticationRights_; }
  // "other_roles" of the "one_sided_documents" pool; absent without that pool.
  std::optional<std::int64_t> signaturesFromOtherRoles() const { return signaturesFromOtherRoles_; }
  // Whether the "authentication_rights" pool's total is above zero; without that pool, whether
  // authenticationRights is; absent when neither is known.
  std::optional<bool> authenticationAvailable() const { return authenticationAvailable_; }

  friend bool operator==(const RoleAllowances&, const RoleAllowances&) = default;

private:
  struct Entitlement;
  struct Pool;
  struct Details;

  static std::optional<std::int64_t> remaining(std::string_view code, const std::vector<Entitlement>& in);

  std::optional<std::int64_t> signaturesRemaining_;
  std::optional<std::int64_t> authenticationRights_;
  std::optional<std::int64_t> signaturesFromOtherRoles_;
  std::optional<bool> authenticationAvailable_;
};

}  // namespace corvanta

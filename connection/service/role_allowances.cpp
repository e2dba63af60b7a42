#include "connection/service/role_allowances.hpp"

#include "connection/service/service_envelope.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/json_coding.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

namespace corvanta {
namespace {

using platform::foundation::JSONObjectReader;

constexpr std::string_view signaturesCode = "one_sided_documents";
constexpr std::string_view authenticationsCode = "authentication_rights";

// ASCII lowering is enough: the only non-ASCII scalar whose lower case is ASCII is KELVIN SIGN
// (to "k"), and neither code that is looked up has a "k".
std::string asciiLowercased(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lowered;
}

}  // namespace

struct RoleAllowances::Entitlement {
  std::string code;
  std::optional<std::int64_t> remaining;

  static Entitlement fromJSON(const JSONObjectReader& reader) {
    Entitlement entitlement;
    entitlement.code = reader.required<std::string>("code");
    entitlement.remaining = reader.optional<std::int64_t>("remaining");
    return entitlement;
  }
};

struct RoleAllowances::Pool {
  std::int64_t otherRoles = 0;
  std::int64_t total = 0;

  static Pool fromJSON(const JSONObjectReader& reader) {
    Pool pool;
    pool.otherRoles = reader.required<std::int64_t>("other_roles");
    pool.total = reader.required<std::int64_t>("total");
    return pool;
  }
};

struct RoleAllowances::Details {
  std::vector<Entitlement> entitlements;
  std::optional<std::map<std::string, Pool>> spendableAcrossRoles;

  static Details fromJSON(const JSONObjectReader& reader) {
    Details details;
    details.entitlements = reader.required<std::vector<Entitlement>>("entitlements");
    details.spendableAcrossRoles = reader.optional<std::map<std::string, Pool>>("spendable_across_roles");
    return details;
  }
};

RoleAllowances::RoleAllowances(std::optional<std::int64_t> signaturesRemaining,
                               std::optional<std::int64_t> authenticationRights,
                               std::optional<std::int64_t> signaturesFromOtherRoles,
                               std::optional<bool> authenticationAvailable)
    : signaturesRemaining_(signaturesRemaining),
      authenticationRights_(authenticationRights),
      signaturesFromOtherRoles_(signaturesFromOtherRoles),
      authenticationAvailable_(authenticationAvailable) {}

std::optional<std::int64_t> RoleAllowances::remaining(std::string_view code, const std::vector<Entitlement>& in) {
  const Entitlement* match = nullptr;
  for (const auto& entitlement : in) {
    if (asciiLowercased(entitlement.code) != code) continue;
    // The same code twice leaves no way to tell which count holds.
    if (match != nullptr) throw ConnectionError::invalidResponse;
    match = &entitlement;
  }
  if (match == nullptr) return 0;
  if (match->remaining && *match->remaining < 0) throw ConnectionError::invalidResponse;
  return match->remaining;
}

RoleAllowances RoleAllowances::fromData(platform::ByteView data) {
  const auto envelope = Envelope<Details>::decode(data);
  if (envelope.success() != 1) throw ConnectionError::invalidResponse;
  const auto& details = envelope.data();

  const auto signaturesRemaining = remaining(signaturesCode, details.entitlements);
  const auto authenticationRights = remaining(authenticationsCode, details.entitlements);

  std::optional<Pool> signaturePool;
  std::optional<Pool> authenticationPool;
  if (details.spendableAcrossRoles) {
    const auto& pools = *details.spendableAcrossRoles;
    if (const auto found = pools.find(std::string(signaturesCode)); found != pools.end()) signaturePool = found->second;
    if (const auto found = pools.find(std::string(authenticationsCode)); found != pools.end()) {
      authenticationPool = found->second;
    }
  }
  for (const auto& pool : {signaturePool, authenticationPool}) {
    if (pool && (pool->otherRoles < 0 || pool->total < 0)) throw ConnectionError::invalidResponse;
  }

  std::optional<std::int64_t> signaturesFromOtherRoles;
  if (signaturePool) signaturesFromOtherRoles = signaturePool->otherRoles;

  std::optional<bool> authenticationAvailable;
  if (authenticationPool) {
    authenticationAvailable = authenticationPool->total > 0;
  } else if (authenticationRights) {
    authenticationAvailable = *authenticationRights > 0;
  }

  return RoleAllowances(signaturesRemaining, authenticationRights, signaturesFromOtherRoles, authenticationAvailable);
}

}  // namespace corvanta

// Reads arbitrary bytes as each of the service's answers. A refusal, as a DecodingError or a
// ConnectionError, is the expected outcome for almost every input; an accepted answer must keep
// the promises of its type. Anything else that escapes, a crash or a sanitizer report is a fault.
#include "connection/service/account_profile.hpp"
#include "connection/service/account_role.hpp"
#include "connection/service/certificate_collection.hpp"
#include "connection/service/role_allowances.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/security/digest.hpp"
#include "sign-core/signing_usage.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

template <typename Decode>
void refusedOrChecked(Decode&& decode) {
  try {
    decode();
  } catch (const platform::foundation::DecodingError&) {
  } catch (const corvanta::ConnectionError&) {
  }
}

void check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::ByteView body(data, size);

  refusedOrChecked([&] {
    const auto collection = corvanta::CertificateCollection::fromData(body);
    std::set<std::string> usages;
    for (const auto& certificate : collection.certificates()) {
      check(!certificate.id().empty());
      check(corvanta::SigningUsage::fromRawValue(certificate.usage()).has_value());
      check(usages.insert(certificate.usage()).second);
      check(certificate.profile().certificateSHA256() == platform::security::sha256(certificate.der()));
    }
    if (const auto chosen = collection.authenticationCertificate()) {
      check(chosen->usage() == "client_authentication" || collection.mode() == corvanta::CertificateMode::bestEffort);
    }
  });

  refusedOrChecked([&] {
    const auto allowances = corvanta::RoleAllowances::fromData(body);
    for (const auto& count :
         {allowances.signaturesRemaining(), allowances.authenticationRights(), allowances.signaturesFromOtherRoles()}) {
      check(!count || *count >= 0);
    }
  });

  refusedOrChecked([&] {
    const auto profile = platform::foundation::decodeJSON<corvanta::AccountProfile>(body);
    check(profile.name() || profile.preferredUsername() || profile.displayName() == "Corvanta account");
  });

  refusedOrChecked([&] {
    for (const auto& role : platform::foundation::decodeJSON<std::vector<corvanta::AccountRole>>(body)) {
      check(!role.isPersonal() || role.displayName() == "Personal account");
    }
  });
  return 0;
}

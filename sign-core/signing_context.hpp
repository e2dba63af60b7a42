#pragma once

#include "platform/foundation/bytes.hpp"
#include "sign-core/verification_key.hpp"

#include <cstddef>
#include <string>

namespace corvanta {

// Binds signing to one service origin, one account, one role, one credential and that
// certificate's hash and public key. It is checked once, when it is made, so that everything
// downstream can rely on it.
class SigningContext {
public:
  static constexpr std::size_t certificateSHA256ByteCount = 32;

  // Throws SigningError::invalidContext, without saying which check failed, unless:
  // - the origin is an absolute URL whose scheme is "https" in any letter case, with a non-empty
  //   host, an optional port, no user information, no query and no fragment (an empty "?" or "#"
  //   counts as present) and the path "" or "/";
  // - the account, role and credential identifiers are each more than white space and newlines;
  // - the certificate hash has exactly 32 bytes.
  // Every value is stored as given: the identifiers untrimmed, the origin not normalised.
  SigningContext(std::string backendOrigin, std::string accountID, std::string roleID, std::string credentialID,
                 platform::Bytes certificateSHA256, VerificationKey verificationKey);

  // The origin text exactly as given; two contexts have the same origin only when the texts are
  // equal byte for byte ("HTTPS://h" and "https://h/" both differ from "https://h").
  const std::string& backendOrigin() const { return backendOrigin_; }
  const std::string& accountID() const { return accountID_; }
  const std::string& roleID() const { return roleID_; }
  const std::string& credentialID() const { return credentialID_; }
  const platform::Bytes& certificateSHA256() const { return certificateSHA256_; }
  const VerificationKey& verificationKey() const { return verificationKey_; }

  friend bool operator==(const SigningContext&, const SigningContext&) = default;

private:
  std::string backendOrigin_;
  std::string accountID_;
  std::string roleID_;
  std::string credentialID_;
  platform::Bytes certificateSHA256_;
  VerificationKey verificationKey_;
};

}  // namespace corvanta

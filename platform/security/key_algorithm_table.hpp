#pragma once

#include "platform/security/key_algorithm.hpp"

#include <openssl/types.h>

#include <optional>

namespace platform::security::detail {

// How the library verifies one of the six digest algorithms.
struct DigestAlgorithm {
  KeyAlgorithm identifier;
  int keyType;           // EVP_PKEY_RSA or EVP_PKEY_EC
  int padding;           // RSA_PKCS1_PADDING for RSA; unused for ECDSA
  const EVP_MD* (*md)();  // the hash whose DigestInfo (RSA) or length (ECDSA) the digest carries
};

// The six digest algorithms by identifier text; none for a message algorithm or any other text.
std::optional<DigestAlgorithm> findDigestAlgorithm(KeyAlgorithm identifier);

}  // namespace platform::security::detail

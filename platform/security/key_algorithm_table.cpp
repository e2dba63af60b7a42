#include "platform/security/key_algorithm_table.hpp"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <array>

namespace platform::security::detail {
namespace {

constexpr std::array<DigestAlgorithm, 6> digestAlgorithms{{
    {keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, EVP_PKEY_RSA, RSA_PKCS1_PADDING, EVP_sha256},
    {keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384, EVP_PKEY_RSA, RSA_PKCS1_PADDING, EVP_sha384},
    {keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512, EVP_PKEY_RSA, RSA_PKCS1_PADDING, EVP_sha512},
    {keyAlgorithm::ecdsaSignatureDigestX962SHA256, EVP_PKEY_EC, 0, EVP_sha256},
    {keyAlgorithm::ecdsaSignatureDigestX962SHA384, EVP_PKEY_EC, 0, EVP_sha384},
    {keyAlgorithm::ecdsaSignatureDigestX962SHA512, EVP_PKEY_EC, 0, EVP_sha512},
}};

}  // namespace

std::optional<DigestAlgorithm> findDigestAlgorithm(KeyAlgorithm identifier) {
  for (const auto& algorithm : digestAlgorithms) {
    if (algorithm.identifier == identifier) return algorithm;
  }
  return std::nullopt;
}

}  // namespace platform::security::detail

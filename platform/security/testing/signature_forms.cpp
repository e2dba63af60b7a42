#include "platform/security/testing/signature_forms.hpp"

#include "platform/security/digest.hpp"
#include "platform/security/openssl_handles.hpp"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

namespace platform::security::testing {
namespace {

using SignaturePointer = std::unique_ptr<ECDSA_SIG, detail::FreeWith<ECDSA_SIG, ECDSA_SIG_free>>;
using MdPointer = std::unique_ptr<EVP_MD, detail::FreeWith<EVP_MD, EVP_MD_free>>;

[[noreturn]] void fail(const std::string& what) {
  ERR_clear_error();
  throw std::runtime_error("signature forms: " + what);
}

}  // namespace

Bytes ecdsaWithLongFormLength(ByteView derSignature) {
  if (derSignature.size() < 2 || derSignature[0] != 0x30 || derSignature[1] >= 0x80) fail("not a short DER signature");
  Bytes result(derSignature.size() + 1);
  result[0] = 0x30;
  result[1] = 0x81;
  std::copy(derSignature.begin() + 1, derSignature.end(), result.begin() + 2);
  return result;
}

Bytes ecdsaAsRawPair(ByteView derSignature, std::size_t coordinateSize) {
  const unsigned char* cursor = derSignature.data();
  const SignaturePointer parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSignature.size())));
  if (!parsed) fail("not an ECDSA signature");
  Bytes raw(2 * coordinateSize);
  const auto size = static_cast<int>(coordinateSize);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), raw.data(), size) != size ||
      BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), raw.data() + coordinateSize, size) != size) {
    fail("coordinate size");
  }
  return raw;
}

Bytes rsaSignatureNamingHash(const TestKey& key, std::string_view hashName, ByteView digest) {
  const MdPointer md(EVP_MD_fetch(nullptr, std::string(hashName).c_str(), nullptr));
  detail::PkeyContextPointer context(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(key.native()), nullptr));
  std::size_t length = 0;
  if (!md || !context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), md.get()) != 1 ||
      EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1) {
    fail("RSA signature under " + std::string(hashName));
  }
  Bytes signature(length);
  if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1) fail("RSA sign");
  signature.resize(length);
  return signature;
}

std::pair<Bytes, Bytes> rsaSignatureWithLeadingZero(const TestKey& key) {
  // Failing to find one in 8192 tries happens about once in 10^14 runs.
  for (std::uint32_t counter = 0; counter < 8192; ++counter) {
    auto digest = sha256(Bytes{static_cast<std::uint8_t>(counter), static_cast<std::uint8_t>(counter >> 8)});
    auto signature = key.sign(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest);
    if (signature.front() == 0x00) return {std::move(digest), std::move(signature)};
  }
  fail("no signature with a leading zero");
}

}  // namespace platform::security::testing

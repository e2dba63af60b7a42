// What verifying through VerificationKey costs next to the library's own verification with a key
// object that is already built. VerificationKey rebuilds its key object on every call, by design.
#include "platform/security/digest.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/verification_key.hpp"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace {

using corvanta::SigningAlgorithm;
using corvanta::VerificationKey;
using platform::Bytes;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;

struct Fixture {
  TestKey key;
  SigningAlgorithm algorithm;
  Bytes digest;
  Bytes signature;
  platform::security::Key publicKey;
  VerificationKey verificationKey;

  Fixture(TestKey generated, SigningAlgorithm signingAlgorithm)
      : key(std::move(generated)),
        algorithm(signingAlgorithm),
        digest(platform::security::sha256(platform::bytesOf("benchmark"))),
        signature(key.sign(algorithm.securityAlgorithm(), digest)),
        publicKey(key.publicKey()),
        verificationKey(publicKey) {}
};

const Fixture& rsa2048() {
  static const Fixture fixture(TestKey::rsa(2048), SigningAlgorithm::rsaPKCS1SHA256);
  return fixture;
}

const Fixture& p256() {
  static const Fixture fixture(TestKey::ec(Curve::p256), SigningAlgorithm::ecdsaSHA256);
  return fixture;
}

void verificationKeyVerify(benchmark::State& state, const Fixture& fixture) {
  for (auto _ : state) {
    fixture.verificationKey.verify(fixture.signature, fixture.digest, fixture.algorithm);
  }
}

// The library alone: a context per call, as any caller would make one.
bool libraryVerifies(EVP_PKEY* key, const Fixture& fixture) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr),
                                                                      EVP_PKEY_CTX_free);
  return EVP_PKEY_verify_init(context.get()) == 1 &&
         (EVP_PKEY_get_id(key) != EVP_PKEY_RSA || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1) &&
         EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(context.get(), fixture.signature.data(), fixture.signature.size(), fixture.digest.data(),
                         fixture.digest.size()) == 1;
}

// On the ready public key: the library keeps what it derived from the key at its first use.
void rawVerify(benchmark::State& state, const Fixture& fixture) {
  auto* key = const_cast<EVP_PKEY*>(fixture.publicKey.native());
  for (auto _ : state) {
    if (!libraryVerifies(key, fixture)) {
      state.SkipWithError("raw verification failed");
      break;
    }
  }
}

// For reference: the library on a key object made anew for each call from the same data, in the
// fastest way the library offers (RSA: the PKCS#1 decoder; EC: from the group name and point).
// A key object pays its one-time setup (Montgomery values, the curve's group) at every call here,
// as any rebuilt key must.
platform::security::PkeyPointer freshKey(const Fixture& fixture) {
  const auto& representation = fixture.verificationKey.representation();
  if (fixture.verificationKey.kind() == SigningAlgorithm::KeyKind::rsa) {
    const unsigned char* cursor = representation.data();
    return platform::security::PkeyPointer(
        d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(representation.size())));
  }
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr),
                                                                      EVP_PKEY_CTX_free);
  OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(representation.data()),
                                        representation.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, parameters) != 1) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return platform::security::PkeyPointer(key);
}

void rawVerifyWithFreshKey(benchmark::State& state, const Fixture& fixture) {
  for (auto _ : state) {
    const auto key = freshKey(fixture);
    if (!key || !libraryVerifies(key.get(), fixture)) {
      state.SkipWithError("raw verification failed");
      break;
    }
  }
}

void BM_VerificationKey_RSA2048_SHA256(benchmark::State& state) { verificationKeyVerify(state, rsa2048()); }
void BM_Raw_RSA2048_SHA256(benchmark::State& state) { rawVerify(state, rsa2048()); }
void BM_RawFreshKey_RSA2048_SHA256(benchmark::State& state) { rawVerifyWithFreshKey(state, rsa2048()); }
void BM_VerificationKey_P256_SHA256(benchmark::State& state) { verificationKeyVerify(state, p256()); }
void BM_Raw_P256_SHA256(benchmark::State& state) { rawVerify(state, p256()); }
void BM_RawFreshKey_P256_SHA256(benchmark::State& state) { rawVerifyWithFreshKey(state, p256()); }

BENCHMARK(BM_VerificationKey_RSA2048_SHA256);
BENCHMARK(BM_Raw_RSA2048_SHA256);
BENCHMARK(BM_RawFreshKey_RSA2048_SHA256);
BENCHMARK(BM_VerificationKey_P256_SHA256);
BENCHMARK(BM_Raw_P256_SHA256);
BENCHMARK(BM_RawFreshKey_P256_SHA256);

}  // namespace

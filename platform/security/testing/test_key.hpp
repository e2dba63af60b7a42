#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/key.hpp"
#include "platform/security/key_algorithm.hpp"

#include <chrono>
#include <string>
#include <string_view>

namespace platform::security::testing {

enum class Curve { p256, p384, p521 };

// What a test certificate says about itself. The defaults make a certificate that is valid now.
struct CertificateOptions {
  std::string commonName = "Corvanta Test";
  std::chrono::system_clock::time_point notBefore = std::chrono::system_clock::now() - std::chrono::hours(1);
  std::chrono::system_clock::time_point notAfter = std::chrono::system_clock::now() + std::chrono::hours(24 * 365);
  long serialNumber = 1;
  // A critical key usage extension with digitalSignature only.
  bool digitalSignature = false;
  // An extended key usage extension with clientAuth only.
  bool clientAuth = false;
};

// A freshly generated key pair for tests, with everything a test needs to make the inputs of the
// security layer: the public key, its SubjectPublicKeyInfo, signatures and certificates.
// Generation failures throw std::runtime_error: a test cannot go on without its key.
class TestKey {
public:
  static TestKey rsa(int bits);
  static TestKey ec(Curve curve);
  // Keys the system must refuse.
  static TestKey ecOnNamedCurve(std::string_view groupName);  // e.g. "secp256k1", "brainpoolP256r1"
  static TestKey ed25519();
  static TestKey dsa(int bits);
  static TestKey rsaPss(int bits);  // an id-RSASSA-PSS key

  // The same elliptic-curve key, written into SubjectPublicKeyInfo and certificates with the
  // compressed point, or with the curve's explicit parameters instead of its name.
  TestKey withCompressedPoint() const;
  TestKey withExplicitCurveParameters() const;

  // Copies share the one generated key.
  TestKey(const TestKey& other);
  TestKey& operator=(const TestKey& other);
  TestKey(TestKey&&) noexcept = default;
  TestKey& operator=(TestKey&&) noexcept = default;
  ~TestKey() = default;

  // A key holding only the public parts, as a certificate would give it.
  Key publicKey() const;
  // The key itself, private parts included.
  Key privateKey() const;
  Bytes subjectPublicKeyInfo() const;

  // Signs a ready digest under one of the six digest algorithm identifiers: RSA PKCS#1 v1.5, or
  // ECDSA with a DER ECDSA-Sig-Value. The digest must have the length of the algorithm's hash.
  Bytes sign(KeyAlgorithm algorithm, ByteView digest) const;

  // A self-signed X.509 v3 certificate in DER, signed with SHA-256 (no hash for Ed25519).
  Bytes selfSignedCertificate(const CertificateOptions& options = {}) const;

  const EVP_PKEY* native() const { return key_.get(); }

private:
  explicit TestKey(PkeyPointer key);
  PkeyPointer key_;
};

}  // namespace platform::security::testing

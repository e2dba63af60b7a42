#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform::net::testing {

// A certificate and its private key, both PEM, as a TLS server loads them.
struct CertifiedKey {
  std::string certificatePEM;
  std::string privateKeyPEM;
};

// What an issued server certificate claims: the names and addresses go in its subject alternative
// names (none at all when both are empty), the common name in its subject.
struct ServerNames {
  std::vector<std::string> dnsNames;
  std::vector<std::string> ipAddresses;
  // Empty: the first name, else the first address, as certificates commonly repeat it there.
  std::string commonName{};
};

enum class Validity { current, expired };

// A certificate authority made at run time (P-256, SHA-256), so that tests need no key material
// on disk and no system trust store changes. Throws std::runtime_error when OpenSSL refuses a step.
class TestCertificateAuthority {
public:
  explicit TestCertificateAuthority(const std::string& commonName = "Test Root");
  ~TestCertificateAuthority();
  TestCertificateAuthority(TestCertificateAuthority&&) noexcept;
  TestCertificateAuthority& operator=(TestCertificateAuthority&&) noexcept;

  const std::string& certificatePEM() const;

  // A server certificate for the names, signed by this authority.
  CertifiedKey issue(const ServerNames& names, Validity validity = Validity::current) const;

  // A server certificate for the names that no authority signed.
  static CertifiedKey selfSigned(const ServerNames& names);

private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};

}  // namespace platform::net::testing

#include "platform/net/testing/test_certificate_authority.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <utility>

namespace platform::net::testing {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BignumFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

void require(bool ok, const char* step) {
  if (!ok) {
    throw std::runtime_error(std::string("test certificate: ") + step);
  }
}

Key newKey() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  require(key != nullptr, "key generation");
  return key;
}

struct Extension {
  int nid;
  std::string value;
};

// Signs a certificate for `subjectKey`; without an issuer it signs itself.
Certificate makeCertificate(const std::string& commonName, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
                            const std::vector<Extension>& extensions, Validity validity) {
  Certificate certificate(X509_new());
  require(certificate != nullptr, "allocation");
  X509* x = certificate.get();
  require(X509_set_version(x, X509_VERSION_3) == 1, "version");

  std::unique_ptr<BIGNUM, BignumFree> serial(BN_new());
  require(serial && BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1, "serial");
  require(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) != nullptr, "serial");

  constexpr long day = 24 * 60 * 60;
  const long notBefore = validity == Validity::current ? -day : -3 * day;
  const long notAfter = validity == Validity::current ? day : -day;
  require(X509_gmtime_adj(X509_getm_notBefore(x), notBefore) != nullptr, "validity");
  require(X509_gmtime_adj(X509_getm_notAfter(x), notAfter) != nullptr, "validity");

  X509_NAME* subject = X509_get_subject_name(x);
  require(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "subject");
  require(X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : subject) == 1, "issuer");
  require(X509_set_pubkey(x, subjectKey) == 1, "public key");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  for (const auto& extension : extensions) {
    std::unique_ptr<X509_EXTENSION, ExtensionFree> made(
        X509V3_EXT_conf_nid(nullptr, &context, extension.nid, extension.value.c_str()));
    require(made != nullptr, "extension");
    require(X509_add_ext(x, made.get(), -1) == 1, "extension");
  }
  require(X509_sign(x, issuerKey, EVP_sha256()) > 0, "signature");
  return certificate;
}

std::string pemOf(X509* certificate) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string pemOf(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string subjectAltNames(const ServerNames& names) {
  std::string text;
  for (const auto& name : names.dnsNames) {
    text += (text.empty() ? "" : ",") + std::string("DNS:") + name;
  }
  for (const auto& address : names.ipAddresses) {
    text += (text.empty() ? "" : ",") + std::string("IP:") + address;
  }
  return text;
}

std::vector<Extension> serverExtensions(const ServerNames& names, bool withAuthorityKey) {
  std::vector<Extension> extensions{
      {NID_basic_constraints, "critical,CA:FALSE"},
      {NID_key_usage, "critical,digitalSignature"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_key_identifier, "hash"},
  };
  if (withAuthorityKey) {
    extensions.push_back({NID_authority_key_identifier, "keyid:always"});
  }
  const auto alternatives = subjectAltNames(names);
  if (!alternatives.empty()) {
    extensions.push_back({NID_subject_alt_name, alternatives});
  }
  return extensions;
}

std::string commonNameFor(const ServerNames& names) {
  if (!names.commonName.empty()) {
    return names.commonName;
  }
  if (!names.dnsNames.empty()) {
    return names.dnsNames.front();
  }
  return names.ipAddresses.empty() ? std::string("server") : names.ipAddresses.front();
}

}  // namespace

struct TestCertificateAuthority::Keys {
  Key key;
  Certificate certificate;
  std::string pem;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) : keys_(std::make_unique<Keys>()) {
  keys_->key = newKey();
  keys_->certificate = makeCertificate(commonName, keys_->key.get(), nullptr, keys_->key.get(),
                                       {{NID_basic_constraints, "critical,CA:TRUE"},
                                        {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                        {NID_subject_key_identifier, "hash"}},
                                       Validity::current);
  keys_->pem = pemOf(keys_->certificate.get());
}

TestCertificateAuthority::~TestCertificateAuthority() = default;
TestCertificateAuthority::TestCertificateAuthority(TestCertificateAuthority&&) noexcept = default;
TestCertificateAuthority& TestCertificateAuthority::operator=(TestCertificateAuthority&&) noexcept = default;

const std::string& TestCertificateAuthority::certificatePEM() const { return keys_->pem; }

CertifiedKey TestCertificateAuthority::issue(const ServerNames& names, Validity validity) const {
  const Key key = newKey();
  const Certificate certificate = makeCertificate(commonNameFor(names), key.get(), keys_->certificate.get(),
                                                  keys_->key.get(), serverExtensions(names, true), validity);
  return CertifiedKey{pemOf(certificate.get()), pemOf(key.get())};
}

CertifiedKey TestCertificateAuthority::selfSigned(const ServerNames& names) {
  const Key key = newKey();
  const Certificate certificate = makeCertificate(commonNameFor(names), key.get(), nullptr, key.get(),
                                                  serverExtensions(names, false), Validity::current);
  return CertifiedKey{pemOf(certificate.get()), pemOf(key.get())};
}

}  // namespace platform::net::testing

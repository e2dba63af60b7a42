#include "platform/security/certificate_values.hpp"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::security {
namespace {

// A minimal DER writer: each element with its minimal length.
Bytes element(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<std::uint8_t>(content.size()));
  } else {
    Bytes length;
    for (std::size_t rest = content.size(); rest != 0; rest >>= 8) {
      length.insert(length.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes constructed(std::uint8_t tag, const std::vector<Bytes>& parts) {
  Bytes content;
  for (const auto& part : parts) {
    content.insert(content.end(), part.begin(), part.end());
  }
  return element(tag, content);
}

Bytes sequence(const std::vector<Bytes>& parts) { return constructed(0x30, parts); }
Bytes set(const std::vector<Bytes>& parts) { return constructed(0x31, parts); }
Bytes oid(const Bytes& content) { return element(0x06, content); }
Bytes string(std::uint8_t tag, std::string_view text) { return element(tag, bytesOf(text)); }
Bytes utf8(std::string_view text) { return string(0x0C, text); }
Bytes attribute(const Bytes& type, const Bytes& value) { return sequence({oid(type), value}); }

const Bytes commonName{0x55, 0x04, 0x03};
const Bytes serialNumberType{0x55, 0x04, 0x05};
const Bytes countryName{0x55, 0x04, 0x06};
const Bytes organizationName{0x55, 0x04, 0x0A};
const Bytes uniqueIdentifier{0x55, 0x04, 0x2D};
const Bytes privateType{0x2B, 0x06, 0x01, 0x04, 0x01, 0x86, 0x8D, 0x1F, 0x01};  // 1.3.6.1.4.1.99999.1
const Bytes ecdsaWithSHA256{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};

Bytes subjectPublicKeyInfo() {
  struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
  };
  const std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) {
    return {};
  }
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  Bytes out(der, der + (length > 0 ? length : 0));
  OPENSSL_free(der);
  return out;
}

// A certificate with the given serial content octets, issuer, subject and extensions (none when
// empty); the signature is a placeholder, which the platform does not check.
Certificate certificate(const Bytes& serial, const Bytes& issuer, const Bytes& subject,
                        const std::vector<Bytes>& extensions = {}) {
  static const Bytes key = subjectPublicKeyInfo();
  const auto algorithm = sequence({oid(ecdsaWithSHA256)});
  std::vector<Bytes> fields = {constructed(0xA0, {element(0x02, {0x02})}), element(0x02, serial), algorithm, issuer,
                               sequence({string(0x17, "240101000000Z"), string(0x17, "340101000000Z")}), subject, key};
  if (!extensions.empty()) {
    fields.push_back(constructed(0xA3, {sequence(extensions)}));
  }
  const auto tbs = sequence(fields);
  const auto der = sequence({tbs, algorithm, element(0x03, {0x00, 0x01})});
  auto made = Certificate::createWithData(der);
  if (!made) {
    throw std::runtime_error("the fixture certificate does not decode");
  }
  return std::move(*made);
}

Certificate certificateWithSubject(const Bytes& subject, const std::vector<Bytes>& extensions = {}) {
  return certificate({0x01}, sequence({set({attribute(commonName, utf8("Issuer"))})}), subject, extensions);
}

// A subject alternative name extension holding the given general names.
Bytes alternativeNames(const std::vector<Bytes>& names) {
  const Bytes subjectAltName{0x55, 0x1D, 0x11};
  return sequence({oid(subjectAltName), element(0x04, sequence(names))});
}
Bytes emailName(std::string_view address) { return string(0x81, address); }
Bytes dnsName(std::string_view name) { return string(0x82, name); }

TEST(CertificateValues, NameAttributesInEncodedOrderWithDottedTypes) {
  const auto issuer = sequence({set({attribute(countryName, string(0x13, "RO"))}),
                                set({attribute(organizationName, utf8("Corvanta"))}),
                                set({attribute(commonName, utf8("Issuing CA"))})});
  // A multi-valued name whose attributes are not in sorted order keeps the order they are written in.
  const auto subject = sequence({set({attribute(commonName, utf8("B")), attribute(countryName, string(0x13, "RO"))}),
                                 set({attribute(serialNumberType, string(0x13, "PNORO-1"))}),
                                 set({attribute(commonName, utf8("A"))})});
  const auto made = certificate({0x01}, issuer, subject);
  EXPECT_EQ(copyIssuerName(made), (std::vector<NameAttribute>{
                                      {"2.5.4.6", "RO"}, {"2.5.4.10", "Corvanta"}, {"2.5.4.3", "Issuing CA"}}));
  EXPECT_EQ(copySubjectName(made), (std::vector<NameAttribute>{
                                       {"2.5.4.3", "B"}, {"2.5.4.6", "RO"}, {"2.5.4.5", "PNORO-1"}, {"2.5.4.3", "A"}}));
  const auto unnamed = certificateWithSubject(sequence({}));
  EXPECT_EQ(copyIssuerName(unnamed), (std::vector<NameAttribute>{{"2.5.4.3", "Issuer"}}));
  EXPECT_TRUE(copySubjectName(unnamed).empty());
  EXPECT_EQ(copySubjectSummary(unnamed), std::nullopt);
}

TEST(CertificateValues, ValuesAreUTF8TextOrKeptApartAsNonText) {
  const struct {
    const char* name;
    Bytes type;
    Bytes value;
    NameAttribute expected;
  } rows[] = {
      {"PrintableString", commonName, string(0x13, "Ana Pop"), {"2.5.4.3", "Ana Pop"}},
      {"UTF8String", commonName, utf8("\xC8\x98tefan"), {"2.5.4.3", "\xC8\x98tefan"}},
      {"IA5String", commonName, string(0x16, "ana@corvanta.example"), {"2.5.4.3", "ana@corvanta.example"}},
      {"T61String read as Latin-1", commonName, element(0x14, {'J', 'o', 's', 0xE9}), {"2.5.4.3", "Jos\xC3\xA9"}},
      {"BMPString", commonName, element(0x1E, {0x00, 'A', 0x01, 0x03}), {"2.5.4.3", "A\xC4\x83"}},
      {"UniversalString", commonName, element(0x1C, {0x00, 0x00, 0x00, 'A'}), {"2.5.4.3", "A"}},
      {"an empty value is text", commonName, utf8(""), {"2.5.4.3", ""}},
      {"a type without a name", privateType, utf8("x"), {"1.3.6.1.4.1.99999.1", "x"}},
      {"BIT STRING", uniqueIdentifier, element(0x03, {0x00, 0x01, 0x02}), {"2.5.4.45", std::nullopt}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto made = certificateWithSubject(sequence({set({attribute(row.type, row.value)})}));
    EXPECT_EQ(copySubjectName(made), std::vector<NameAttribute>{row.expected});
  }
}

TEST(CertificateValues, SerialNumberContentOctetsAsEncoded) {
  const std::vector<Bytes> serials = {
      {0x00},
      {0x01},
      {0x7F},
      {0x00, 0x9A},
      {0x00, 0x80, 0x00},
      {0xFB, 0xCE, 0x99, 0x6C, 0x13},
      {0x80},
      {0x7F, 0xFF, 0x00, 0x10, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0x0A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78},
      Bytes(130, 0x11),
  };
  for (const auto& serial : serials) {
    const auto made = certificate(serial, sequence({}), sequence({}));
    EXPECT_EQ(copySerialNumberData(made), serial) << foundation::uppercaseHex(serial);
  }
}

// An empty value names no one: the summary passes over it to the next candidate, whether it stands
// in the subject or in the alternative names, and is empty only when there is no other.
TEST(CertificateValues, SubjectSummaryPassesOverEmptyCandidates) {
  const auto organisation = set({attribute(organizationName, utf8("Corvanta"))});
  const struct {
    const char* name;
    Bytes subject;
    std::vector<Bytes> extensions;
    std::optional<std::string> expected;
  } rows[] = {
      {"an organisation and an empty DNS name", sequence({organisation}), {alternativeNames({dnsName("")})}, "Corvanta"},
      {"an empty e-mail address before a DNS name", sequence({organisation}),
       {alternativeNames({emailName(""), dnsName("ana.corvanta.example")})}, "ana.corvanta.example"},
      {"an empty DNS name before another", sequence({organisation}),
       {alternativeNames({dnsName(""), dnsName("ana.corvanta.example")})}, "ana.corvanta.example"},
      {"an empty common name beside an organisation", sequence({organisation, set({attribute(commonName, utf8(""))})}),
       {}, "Corvanta"},
      {"an empty common name beside an e-mail address", sequence({set({attribute(commonName, utf8(""))})}),
       {alternativeNames({emailName("ana@corvanta.example")})}, "ana@corvanta.example"},
      // Nothing better to say than the empty name: the summary is empty, not missing.
      {"nothing but empty values", sequence({set({attribute(commonName, utf8(""))})}),
       {alternativeNames({emailName(""), dnsName("")})}, ""},
      {"only an empty DNS name", sequence({}), {alternativeNames({dnsName("")})}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(copySubjectSummary(certificateWithSubject(row.subject, row.extensions)), row.expected);
  }
}

// The summary of real subjects of the CA bundle, one of each shape.
TEST(CertificateValues, SubjectSummaryOfBundleCertificates) {
  const struct {
    const char* file;
    std::string expected;
  } rows[] = {
      {"ISRG_Root_X2.crt", "ISRG Root X2"},                                                // C, O, CN
      {"Starfield_Class_2_CA.crt", "Starfield Class 2 Certification Authority"},            // C, O, OU
      {"certSIGN_ROOT_CA.crt", "certSIGN ROOT CA"},                                         // C, O, OU
      {"ACCVRAIZ1.crt", "ACCVRAIZ1"},                                                       // CN and an e-mail name
      {"Entrust_Root_Certification_Authority.crt", "Entrust Root Certification Authority"}, // two OUs and CN
  };
  for (const auto& row : rows) {
    const std::string path = std::string(CORVANTA_MOZILLA_CA_DIR) + "/" + row.file;
    struct BioFree {
      void operator()(BIO* bio) const noexcept { BIO_free(bio); }
    };
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    ASSERT_TRUE(bio) << path;
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    ASSERT_EQ(PEM_read_bio(bio.get(), &name, &header, &data, &length), 1) << path;
    const Bytes der(data, data + length);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    const auto made = Certificate::createWithData(der);
    ASSERT_TRUE(made) << path;
    EXPECT_EQ(copySubjectSummary(*made), row.expected) << row.file;
  }
}

}  // namespace
}  // namespace platform::security

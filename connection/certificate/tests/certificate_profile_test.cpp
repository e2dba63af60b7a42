#include "connection/certificate/certificate_profile.hpp"

#include "connection/certificate/tests/der_builder.hpp"
#include "connection/certificate/tests/expect_refused.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/security/digest.hpp"
#include "platform/security/testing/test_key.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using namespace std::chrono;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;
using Clock = system_clock;

// Attribute types and extension identifiers as content octets.
const Bytes commonName{0x55, 0x04, 0x03};
const Bytes surname{0x55, 0x04, 0x04};
const Bytes serialNumberType{0x55, 0x04, 0x05};
const Bytes countryName{0x55, 0x04, 0x06};
const Bytes organizationName{0x55, 0x04, 0x0A};
const Bytes organizationalUnitName{0x55, 0x04, 0x0B};
const Bytes description{0x55, 0x04, 0x0D};
const Bytes givenName{0x55, 0x04, 0x2A};
const Bytes uniqueIdentifier{0x55, 0x04, 0x2D};
const Bytes keyUsage{0x55, 0x1D, 0x0F};
const Bytes subjectAltName{0x55, 0x1D, 0x11};
const Bytes basicConstraints{0x55, 0x1D, 0x13};
const Bytes extendedKeyUsage{0x55, 0x1D, 0x25};
const Bytes unknownExtension{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x99, 0x01};
const Bytes serverAuthentication{0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01};
const Bytes clientAuthentication{0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x02};
const Bytes anyExtendedKeyUsage{0x55, 0x1D, 0x25, 0x00};
const Bytes ecdsaWithSHA256{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};

struct Attribute {
  Bytes type;
  Bytes value;  // a whole element, usually a string
};

// Each attribute in a relative distinguished name of its own, in the order given.
Bytes name(const std::vector<Attribute>& attributes) {
  std::vector<Bytes> names;
  for (const auto& attribute : attributes) {
    names.push_back(set({sequence({objectIdentifier(attribute.type), attribute.value})}));
  }
  return sequence(names);
}

Bytes extension(const Bytes& identifier, const Bytes& value, std::optional<Bytes> critical = std::nullopt) {
  if (critical) {
    return sequence({objectIdentifier(identifier), *critical, octetString(value)});
  }
  return sequence({objectIdentifier(identifier), octetString(value)});
}

Bytes keyUsageExtension(const Bytes& bitStringContent) { return extension(keyUsage, bitString(bitStringContent)); }

Bytes extendedKeyUsageExtension(const std::vector<Bytes>& purposes) {
  std::vector<Bytes> elements;
  for (const auto& purpose : purposes) {
    elements.push_back(objectIdentifier(purpose));
  }
  return extension(extendedKeyUsage, sequence(elements));
}

const TestKey& ecKey() {
  static const TestKey key = TestKey::ec(Curve::p256);
  return key;
}

// A certificate assembled part by part. The reader checks no signature, so the signature value
// is a placeholder that the platform's decoder still takes.
struct Fixture {
  std::optional<Bytes> version = constructed(0xA0, {integer({0x02})});
  Bytes serial = integer({0x01});
  Bytes issuer = name({{organizationName, utf8String("Corvanta")}, {commonName, utf8String("Corvanta Test CA")}});
  std::vector<Bytes> validity = {utcTime("240101000000Z"), utcTime("340101000000Z")};
  std::uint8_t validityTag = 0x30;
  Bytes subject = name({{countryName, printableString("RO")},
                        {serialNumberType, printableString("PNORO-1234567890")},
                        {givenName, utf8String("Ana")},
                        {surname, utf8String("Pop")},
                        {commonName, utf8String("Ana Pop")}});
  Bytes subjectPublicKeyInfo = ecKey().subjectPublicKeyInfo();
  // TBS elements after the key that are not extensions: unique identifiers, strays.
  std::vector<Bytes> afterKey;
  std::optional<std::vector<Bytes>> extensions = std::vector<Bytes>{
      keyUsageExtension({0x07, 0x80}), extendedKeyUsageExtension({clientAuthentication})};

  Bytes tbs() const {
    std::vector<Bytes> parts;
    if (version) {
      parts.push_back(*version);
    }
    parts.push_back(serial);
    parts.push_back(sequence({objectIdentifier(ecdsaWithSHA256)}));
    parts.push_back(issuer);
    parts.push_back(constructed(validityTag, validity));
    parts.push_back(subject);
    parts.push_back(subjectPublicKeyInfo);
    for (const auto& part : afterKey) {
      parts.push_back(part);
    }
    if (extensions) {
      parts.push_back(constructed(0xA3, {sequence(*extensions)}));
    }
    return sequence(parts);
  }

  Bytes der() const { return wrap(tbs()); }

  static Bytes wrap(const Bytes& tbs) {
    return sequence({tbs, sequence({objectIdentifier(ecdsaWithSHA256)}),
                     bitString({0x00, 0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01})});
  }
};

sys_seconds at(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0) {
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} + seconds{second};
}

TEST(CertificateProfile, ReadsAWellFormedVersion3Certificate) {
  const Fixture fixture;
  const auto der = fixture.der();
  const CertificateProfile profile(der);
  EXPECT_EQ(profile.subject(), "Ana Pop");
  EXPECT_EQ(profile.issuer(), "Corvanta Test CA");
  EXPECT_EQ(profile.identityNumber(), "PNORO-1234567890");
  EXPECT_EQ(profile.serialNumber(), "01");
  EXPECT_EQ(profile.notBefore(), at(2024, 1, 1));
  EXPECT_EQ(profile.notAfter(), at(2034, 1, 1));
  EXPECT_TRUE(profile.permitsDigitalSignature());
  EXPECT_TRUE(profile.permitsClientAuthentication());
  EXPECT_EQ(profile.key(), VerificationKey::fromCertificateDER(der));
  EXPECT_EQ(profile.key().kind(), SigningAlgorithm::KeyKind::ellipticCurve);
  ASSERT_EQ(profile.certificateSHA256().size(), 32u);
  EXPECT_EQ(profile.certificateSHA256(), platform::security::sha256(der));
}

TEST(CertificateProfile, ReadsACertificateMadeAndSignedByTheLibrary) {
  platform::security::testing::CertificateOptions options;
  options.commonName = "Signed Holder";
  options.serialNumber = 0x9A;
  options.digitalSignature = true;
  options.clientAuth = true;
  const auto der = ecKey().selfSignedCertificate(options);
  const CertificateProfile profile(der);
  EXPECT_EQ(profile.subject(), "Signed Holder");
  EXPECT_EQ(profile.serialNumber(), "009A");
  EXPECT_TRUE(profile.permitsDigitalSignature());
  EXPECT_TRUE(profile.permitsClientAuthentication());
  EXPECT_TRUE(profile.issues(Clock::now()).empty());
}

// A certificate of exactly the given size, padded inside an extension the reader skips.
Bytes certificateOfSize(std::size_t size) {
  const auto padded = [](std::ptrdiff_t padding) {
    Fixture fixture;
    fixture.extensions->push_back(extension(unknownExtension, Bytes(static_cast<std::size_t>(padding), 0x5A)));
    return fixture.der();
  };
  const auto target = static_cast<std::ptrdiff_t>(size);
  std::ptrdiff_t padding = target - 2048;
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto der = padded(padding);
    const auto difference = target - static_cast<std::ptrdiff_t>(der.size());
    if (difference == 0) {
      return der;
    }
    padding += difference;
  }
  ADD_FAILURE() << "no certificate of " << size << " bytes";
  return {};
}

TEST(CertificateProfile, ReadsUpTo65536Bytes) {
  const auto largest = certificateOfSize(CertificateProfile::maximumByteCount);
  ASSERT_EQ(largest.size(), 65536u);
  EXPECT_TRUE(CertificateProfile(largest).permitsDigitalSignature());

  const auto tooLarge = certificateOfSize(CertificateProfile::maximumByteCount + 1);
  ASSERT_EQ(tooLarge.size(), 65537u);
  expectRefused([&] { CertificateProfile{tooLarge}; }, "65537 bytes");
  expectRefused([] { CertificateProfile{platform::ByteView{}}; }, "no bytes");
}

TEST(CertificateProfile, RefusesBytesAfterTheCertificate) {
  const auto der = Fixture{}.der();
  expectRefused([&] { CertificateProfile{der + Bytes{0x00}}; }, "one stray byte");
  expectRefused([&] { CertificateProfile{der + Bytes{0x05, 0x00}}; }, "a second element");
  expectRefused([&] { CertificateProfile{der + der}; }, "two certificates");
}

struct StructureRow {
  const char* name;
  Fixture fixture;
  // Dates when the certificate reads; none when it must be refused.
  std::optional<std::pair<sys_seconds, sys_seconds>> validity;
};

Fixture with(void (*change)(Fixture&)) {
  Fixture fixture;
  change(fixture);
  return fixture;
}

TEST(CertificateProfile, ReadsTheValidityAndTheStructureAroundIt) {
  const StructureRow rows[] = {
      {"UTCTime pivot: 50 is 1950 and 49 is 2049",
       with([](Fixture& f) { f.validity = {utcTime("500101000000Z"), utcTime("491231235959Z")}; }),
       std::pair{at(1950, 1, 1), at(2049, 12, 31, 23, 59, 59)}},
      {"GeneralizedTime on both sides",
       with([](Fixture& f) { f.validity = {generalizedTime("19491231235959Z"), generalizedTime("20500101000000Z")}; }),
       std::pair{at(1949, 12, 31, 23, 59, 59), at(2050, 1, 1)}},
      {"one form on each side",
       with([](Fixture& f) { f.validity = {utcTime("240229120000Z"), generalizedTime("99991231235959Z")}; }),
       std::pair{at(2024, 2, 29, 12), at(9999, 12, 31, 23, 59, 59)}},
      {"one second of validity",
       with([](Fixture& f) { f.validity = {utcTime("240101000000Z"), utcTime("240101000001Z")}; }),
       std::pair{at(2024, 1, 1), at(2024, 1, 1, 0, 0, 1)}},
      {"version 1: no version element and no extensions",
       with([](Fixture& f) {
         f.version.reset();
         f.extensions.reset();
       }),
       std::pair{at(2024, 1, 1), at(2034, 1, 1)}},
      {"unique identifiers 81 and 82 are not extensions",
       with([](Fixture& f) { f.afterKey = {Bytes{0x81, 0x02, 0x00, 0xAA}, Bytes{0x82, 0x02, 0x00, 0xBB}}; }),
       std::pair{at(2024, 1, 1), at(2034, 1, 1)}},
      {"version 2 with unique identifiers and no extensions",
       with([](Fixture& f) {
         f.version = constructed(0xA0, {integer({0x01})});
         f.afterKey = {Bytes{0x81, 0x02, 0x00, 0xAA}};
         f.extensions.reset();
       }),
       std::pair{at(2024, 1, 1), at(2034, 1, 1)}},
      {"a version above 3", with([](Fixture& f) { f.version = constructed(0xA0, {integer({0x03})}); }), std::nullopt},
      {"equal validity", with([](Fixture& f) { f.validity = {utcTime("240101000000Z"), utcTime("240101000000Z")}; }),
       std::nullopt},
      {"reversed validity", with([](Fixture& f) { f.validity = {utcTime("340101000000Z"), utcTime("240101000000Z")}; }),
       std::nullopt},
      {"the same instant in both forms",
       with([](Fixture& f) { f.validity = {utcTime("240101000000Z"), generalizedTime("20240101000000Z")}; }),
       std::nullopt},
      {"one date only", with([](Fixture& f) { f.validity = {utcTime("240101000000Z")}; }), std::nullopt},
      {"three dates",
       with([](Fixture& f) { f.validity.push_back(utcTime("440101000000Z")); }), std::nullopt},
      {"30 February", with([](Fixture& f) { f.validity[1] = generalizedTime("20340230000000Z"); }), std::nullopt},
      {"hour 24", with([](Fixture& f) { f.validity[1] = generalizedTime("20340101240000Z"); }), std::nullopt},
      {"second 60", with([](Fixture& f) { f.validity[0] = utcTime("240101000060Z"); }), std::nullopt},
      {"fractional second", with([](Fixture& f) { f.validity[1] = generalizedTime("20340101000000.5Z"); }), std::nullopt},
      {"UTCTime without seconds", with([](Fixture& f) { f.validity[0] = utcTime("2401010000Z"); }), std::nullopt},
      {"UTCTime with an offset", with([](Fixture& f) { f.validity[0] = utcTime("240101000000+0200"); }), std::nullopt},
      {"validity in a SET", with([](Fixture& f) { f.validityTag = 0x31; }), std::nullopt},
  };
  for (const auto& row : rows) {
    const auto der = row.fixture.der();
    if (row.validity) {
      try {
        const CertificateProfile profile(der);
        EXPECT_EQ(profile.notBefore(), row.validity->first) << row.name;
        EXPECT_EQ(profile.notAfter(), row.validity->second) << row.name;
      } catch (const ConnectionError& error) {
        ADD_FAILURE() << row.name << ": " << error.what();
      }
    } else {
      expectRefused([&] { CertificateProfile{der}; }, row.name);
    }
  }
}

TEST(CertificateProfile, RefusesAnOuterStructureThatIsNotACertificate) {
  const auto tbs = Fixture{}.tbs();
  const auto signatureAlgorithm = sequence({objectIdentifier(ecdsaWithSHA256)});
  const auto signature = bitString({0x00, 0x01});
  const auto content = tbs + signatureAlgorithm + signature;
  const struct {
    const char* name;
    Bytes der;
  } rows[] = {
      {"two parts", sequence({tbs, signatureAlgorithm})},
      {"four parts", sequence({tbs, signatureAlgorithm, signature, null()})},
      {"a SET around the parts", constructed(0x31, {tbs, signatureAlgorithm, signature})},
      {"a TBS that is not a SEQUENCE", sequence({constructed(0x31, {}), signatureAlgorithm, signature})},
      {"the outer length with a leading zero octet",
       Bytes{0x30, 0x83, 0x00, static_cast<std::uint8_t>(content.size() >> 8), static_cast<std::uint8_t>(content.size())} +
           content},
      {"indefinite outer length", Bytes{0x30, 0x80} + content + Bytes{0x00, 0x00}},
  };
  for (const auto& row : rows) {
    expectRefused([&] { CertificateProfile{row.der}; }, row.name);
  }
}

struct ExtensionRow {
  const char* name;
  std::vector<Bytes> extensions;
  // Both permissions when the certificate reads; none when it must be refused.
  std::optional<std::pair<bool, bool>> permits;
};

void checkExtensions(const ExtensionRow& row) {
  Fixture fixture;
  fixture.extensions = row.extensions;
  const auto der = fixture.der();
  if (!row.permits) {
    expectRefused([&] { CertificateProfile{der}; }, row.name);
    return;
  }
  try {
    const CertificateProfile profile(der);
    EXPECT_EQ(profile.permitsDigitalSignature(), row.permits->first) << row.name;
    EXPECT_EQ(profile.permitsClientAuthentication(), row.permits->second) << row.name;
  } catch (const ConnectionError& error) {
    ADD_FAILURE() << row.name << ": " << error.what();
  }
}

constexpr std::pair<bool, bool> both{true, true};

TEST(CertificateProfile, KeyUsageBitStrings) {
  const ExtensionRow rows[] = {
      {"digitalSignature, 7 unused bits", {keyUsageExtension({0x07, 0x80})}, both},
      {"nonRepudiation only", {keyUsageExtension({0x06, 0x40})}, std::pair{false, true}},
      {"keyCertSign and cRLSign", {keyUsageExtension({0x01, 0x06})}, std::pair{false, true}},
      {"digitalSignature and keyEncipherment", {keyUsageExtension({0x05, 0xA0})}, both},
      {"no unused bits", {keyUsageExtension({0x00, 0x80})}, both},
      {"two octets, decipherOnly", {keyUsageExtension({0x07, 0x00, 0x80})}, std::pair{false, true}},
      {"two octets with digitalSignature", {keyUsageExtension({0x07, 0x80, 0x00})}, both},
      {"no bits at all", {keyUsageExtension({0x07, 0x00})}, std::pair{false, true}},
      {"a set unused bit", {keyUsageExtension({0x07, 0x81})}, std::nullopt},
      {"a set unused bit in the last of two octets", {keyUsageExtension({0x03, 0x80, 0x04})}, std::nullopt},
      {"unused-bit count 8", {keyUsageExtension({0x08, 0x80})}, std::nullopt},
      {"unused-bit count 255", {keyUsageExtension({0xFF, 0x80})}, std::nullopt},
      {"only the unused-bit count", {keyUsageExtension({0x00})}, std::nullopt},
      {"an empty BIT STRING", {keyUsageExtension({})}, std::nullopt},
      {"not a BIT STRING", {extension(keyUsage, octetString({0x07, 0x80}))}, std::nullopt},
      {"a BIT STRING and more", {extension(keyUsage, bitString({0x07, 0x80}) + null())}, std::nullopt},
      {"nothing in the value", {extension(keyUsage, {})}, std::nullopt},
  };
  for (const auto& row : rows) {
    checkExtensions(row);
  }
}

TEST(CertificateProfile, ExtendedKeyUsagePurposes) {
  const ExtensionRow rows[] = {
      {"client authentication", {extendedKeyUsageExtension({clientAuthentication})}, both},
      {"any extended key usage", {extendedKeyUsageExtension({anyExtendedKeyUsage})}, both},
      {"server authentication only", {extendedKeyUsageExtension({serverAuthentication})}, std::pair{true, false}},
      {"server then client authentication",
       {extendedKeyUsageExtension({serverAuthentication, clientAuthentication})}, both},
      {"a prefix of client authentication",
       {extendedKeyUsageExtension({Bytes(clientAuthentication.begin(), clientAuthentication.end() - 1)})},
       std::pair{true, false}},
      {"client authentication with one more arc", {extendedKeyUsageExtension({clientAuthentication + Bytes{0x01}})},
       std::pair{true, false}},
      {"the extended key usage identifier itself", {extendedKeyUsageExtension({extendedKeyUsage})},
       std::pair{true, false}},
      {"an empty purpose list", {extendedKeyUsageExtension({})}, std::nullopt},
      {"client authentication then a non-identifier",
       {extension(extendedKeyUsage, sequence({objectIdentifier(clientAuthentication), integer({0x01})}))},
       std::nullopt},
      {"a non-identifier then client authentication",
       {extension(extendedKeyUsage, sequence({integer({0x01}), objectIdentifier(clientAuthentication)}))},
       std::nullopt},
      {"purposes not in a SEQUENCE", {extension(extendedKeyUsage, set({objectIdentifier(clientAuthentication)}))},
       std::nullopt},
      {"a SEQUENCE and more",
       {extension(extendedKeyUsage, sequence({objectIdentifier(clientAuthentication)}) + null())}, std::nullopt},
      {"key usage without and extended key usage with",
       {keyUsageExtension({0x06, 0x40}), extendedKeyUsageExtension({clientAuthentication})}, std::pair{false, true}},
      {"neither permitted",
       {keyUsageExtension({0x06, 0x40}), extendedKeyUsageExtension({serverAuthentication})}, std::pair{false, false}},
  };
  for (const auto& row : rows) {
    checkExtensions(row);
  }
}

TEST(CertificateProfile, ExtensionListRules) {
  const ExtensionRow rows[] = {
      {"an empty extension list", {}, both},
      {"only an extension the reader does not know", {extension(basicConstraints, sequence({}))}, both},
      {"a critical extension the reader does not know is skipped",
       {extension(unknownExtension, null(), boolean(0xFF))}, both},
      {"critical key usage", {extension(keyUsage, bitString({0x06, 0x40}), boolean(0xFF))}, std::pair{false, true}},
      {"critical written as FALSE", {extension(keyUsage, bitString({0x07, 0x80}), boolean(0x00))}, std::nullopt},
      {"critical written as 01", {extension(basicConstraints, sequence({}), boolean(0x01))}, std::nullopt},
      {"critical of two octets", {extension(basicConstraints, sequence({}), element(0x01, {0xFF, 0xFF}))},
       std::nullopt},
      {"critical of no octets", {extension(basicConstraints, sequence({}), element(0x01, {}))}, std::nullopt},
      {"critical that is an INTEGER", {extension(basicConstraints, sequence({}), integer({0xFF}))}, std::nullopt},
      {"key usage twice", {keyUsageExtension({0x07, 0x80}), keyUsageExtension({0x07, 0x80})}, std::nullopt},
      {"extended key usage twice",
       {extendedKeyUsageExtension({clientAuthentication}), extendedKeyUsageExtension({clientAuthentication})},
       std::nullopt},
      {"an unknown extension twice", {extension(unknownExtension, null()), extension(unknownExtension, null())},
       std::nullopt},
      {"an extension of the identifier only", {sequence({objectIdentifier(unknownExtension)})}, std::nullopt},
      {"an extension of four parts",
       {sequence({objectIdentifier(unknownExtension), boolean(0xFF), octetString({}), octetString({})})},
       std::nullopt},
      {"an extension without an identifier", {sequence({integer({0x01}), octetString(null())})}, std::nullopt},
      {"an extension value that is not an OCTET STRING",
       {sequence({objectIdentifier(unknownExtension), bitString({0x00})})}, std::nullopt},
      {"an extension that is not a SEQUENCE",
       {set({objectIdentifier(unknownExtension), octetString(null())})}, std::nullopt},
  };
  for (const auto& row : rows) {
    checkExtensions(row);
  }
}

TEST(CertificateProfile, ExtensionsElementRules) {
  {
    Fixture fixture;
    fixture.extensions.reset();
    const CertificateProfile profile(fixture.der());
    EXPECT_TRUE(profile.permitsDigitalSignature());
    EXPECT_TRUE(profile.permitsClientAuthentication());
  }
  {
    Fixture fixture;
    fixture.extensions = std::vector<Bytes>{keyUsageExtension({0x06, 0x40})};
    fixture.afterKey = {constructed(0xA3, {sequence({})})};
    expectRefused([&] { CertificateProfile{fixture.der()}; }, "two [3] elements");
  }
  {
    Fixture fixture;
    fixture.extensions.reset();
    fixture.afterKey = {constructed(0xA3, {sequence({}), sequence({})})};
    expectRefused([&] { CertificateProfile{fixture.der()}; }, "[3] holding two SEQUENCEs");
  }
  {
    Fixture fixture;
    fixture.extensions.reset();
    fixture.afterKey = {constructed(0xA3, {set({})})};
    expectRefused([&] { CertificateProfile{fixture.der()}; }, "[3] holding a SET");
  }
}

struct NameRow {
  const char* name;
  Bytes issuer;
  std::optional<std::string> expected;
};

TEST(CertificateProfile, IssuerIsTheFirstNonEmptyCommonNameElseTheOrganisation) {
  const NameRow rows[] = {
      {"common name", name({{commonName, utf8String("Issuing CA")}}), "Issuing CA"},
      {"organisation without common name", name({{countryName, printableString("RO")}, {organizationName, utf8String("Corvanta SRL")}}),
       "Corvanta SRL"},
      {"empty common name falls back to the organisation",
       name({{commonName, utf8String("")}, {organizationName, utf8String("Corvanta SRL")}}), "Corvanta SRL"},
      {"the common name wins wherever it stands",
       name({{organizationName, utf8String("Corvanta SRL")}, {commonName, printableString("Issuing CA")}}), "Issuing CA"},
      {"the first of two common names", name({{commonName, utf8String("A")}, {commonName, utf8String("B")}}), "A"},
      {"an empty common name is passed over",
       name({{commonName, utf8String("")}, {commonName, utf8String("B")}}), "B"},
      {"a common name that is not text is passed over",
       name({{commonName, bitString({0x00, 0x41})}, {organizationName, utf8String("Corvanta SRL")}}), "Corvanta SRL"},
      {"non-ASCII text", name({{commonName, utf8String("Autoritate de certificare \xC8\x99i test")}}),
       "Autoritate de certificare \xC8\x99i test"},
      {"neither", name({{countryName, printableString("RO")}, {organizationalUnitName, utf8String("Unit")}}), std::nullopt},
      {"an empty name", sequence({}), std::nullopt},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.issuer = row.issuer;
    try {
      EXPECT_EQ(CertificateProfile(fixture.der()).issuer(), row.expected) << row.name;
    } catch (const ConnectionError& error) {
      ADD_FAILURE() << row.name << ": " << error.what();
    }
  }
}

struct SubjectRow {
  const char* name;
  Bytes subject;
  std::vector<Bytes> extensions;
  std::string expectedSubject;
  std::optional<std::string> expectedIdentityNumber;
};

Bytes alternativeNames(const std::vector<Bytes>& names) { return extension(subjectAltName, sequence(names)); }

TEST(CertificateProfile, SubjectSummaryAndIdentityNumber) {
  const SubjectRow rows[] = {
      {"the usual qualified certificate", Fixture{}.subject, {}, "Ana Pop", "PNORO-1234567890"},
      {"common name only", name({{commonName, utf8String("Ana Pop")}}), {}, "Ana Pop", std::nullopt},
      {"two common names, the later first",
       name({{commonName, utf8String("A")}, {commonName, utf8String("B")}}), {}, "B, A", std::nullopt},
      {"unit ranks above organisation",
       name({{organizationName, utf8String("Corvanta SRL")}, {organizationalUnitName, utf8String("Signing")}}), {},
       "Signing", std::nullopt},
      {"organisation only", name({{countryName, printableString("RO")}, {organizationName, utf8String("Corvanta SRL")}}),
       {}, "Corvanta SRL", std::nullopt},
      {"other text attributes of equal rank", name({{countryName, printableString("RO")}, {surname, utf8String("Pop")}}),
       {}, "Pop, RO", std::nullopt},
      {"common name with a description",
       name({{description, utf8String("Signing key")}, {commonName, utf8String("Ana Pop")}}), {},
       "Ana Pop (Signing key)", std::nullopt},
      {"an e-mail address replaces the organisation",
       name({{organizationName, utf8String("Corvanta SRL")}}),
       {alternativeNames({element(0x82, platform::bytesOf("corvanta.example")),
                          element(0x81, platform::bytesOf("ana@corvanta.example"))})},
       "ana@corvanta.example", std::nullopt},
      {"a DNS name when there is no e-mail address", name({{organizationName, utf8String("Corvanta SRL")}}),
       {alternativeNames({element(0x82, platform::bytesOf("corvanta.example"))})}, "corvanta.example", std::nullopt},
      {"the common name stays before an e-mail address", name({{commonName, utf8String("Ana Pop")}}),
       {alternativeNames({element(0x81, platform::bytesOf("ana@corvanta.example"))})}, "Ana Pop", std::nullopt},
      {"an empty common name is kept", name({{commonName, utf8String("")}}), {}, "", std::nullopt},
      {"no attributes", sequence({}), {}, "Certificate holder", std::nullopt},
      {"only a value that is not text", name({{uniqueIdentifier, bitString({0x00, 0x01, 0x02})}}), {},
       "Certificate holder", std::nullopt},
      {"an empty serialNumber attribute is passed over",
       name({{serialNumberType, printableString("")}, {serialNumberType, printableString("PNORO-2")},
             {commonName, utf8String("Ana Pop")}}),
       {}, "Ana Pop", "PNORO-2"},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.subject = row.subject;
    fixture.extensions = row.extensions;
    try {
      const CertificateProfile profile(fixture.der());
      EXPECT_EQ(profile.subject(), row.expectedSubject) << row.name;
      EXPECT_EQ(profile.identityNumber(), row.expectedIdentityNumber) << row.name;
    } catch (const ConnectionError& error) {
      ADD_FAILURE() << row.name << ": " << error.what();
    }
  }
}

TEST(CertificateProfile, SerialNumberKeepsTheOctetsAsEncoded) {
  const struct {
    Bytes content;
    std::string expected;
  } rows[] = {
      {{0x01}, "01"},
      {{0x00}, "00"},
      {{0x00, 0x9A}, "009A"},
      {{0xFB, 0xCE, 0x99, 0x6C, 0x13}, "FBCE996C13"},
      {{0x7F, 0xFF, 0x00, 0x10, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0x0A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56,
        0x78},
       "7FFF0010ABCDEF01234567890ABCDEF012345678"},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.serial = integer(row.content);
    EXPECT_EQ(CertificateProfile(fixture.der()).serialNumber(), row.expected);
  }
}

TEST(CertificateProfile, KeysOtherThanRSAAndNamedPrimeCurvesAreRefusedAsCertificateErrors) {
  const struct {
    const char* name;
    TestKey key;
  } rows[] = {
      {"Ed25519", TestKey::ed25519()},
      {"secp256k1", TestKey::ecOnNamedCurve("secp256k1")},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.subjectPublicKeyInfo = row.key.subjectPublicKeyInfo();
    expectRefused([&] { CertificateProfile{fixture.der()}; }, row.name);
  }
  Fixture fixture;
  fixture.subjectPublicKeyInfo = sequence({sequence({objectIdentifier({0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01})}),
                                           bitString({0x00, 0x04, 0x01})});
  expectRefused([&] { CertificateProfile{fixture.der()}; }, "an elliptic-curve key that does not decode");
}

TEST(CertificateProfile, AlgorithmDescription) {
  const struct {
    TestKey key;
    std::string expected;
  } rows[] = {
      {ecKey(), "ECDSA \xC2\xB7 256-bit"},
      {TestKey::ec(Curve::p384), "ECDSA \xC2\xB7 384-bit"},
      {TestKey::ec(Curve::p521), "ECDSA \xC2\xB7 521-bit"},
      {TestKey::rsa(2048), "RSA \xC2\xB7 2048-bit"},
      {TestKey::rsa(3072), "RSA \xC2\xB7 3072-bit"},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.subjectPublicKeyInfo = row.key.subjectPublicKeyInfo();
    EXPECT_EQ(CertificateProfile(fixture.der()).algorithmDescription(), row.expected);
  }
}

const std::string notYetValid = "This certificate is not valid yet.";
const std::string expired = "This certificate has expired.";
const std::string noDigitalSignature = "This certificate does not permit digital signatures.";
const std::string noBrowserAuthentication = "This certificate does not permit browser authentication.";

Clock::time_point clockTime(sys_seconds instant) { return Clock::time_point(instant); }

TEST(CertificateProfile, IssuesBeforeInsideAndAfterTheValidity) {
  const auto notBefore = clockTime(at(2024, 1, 1));
  const auto notAfter = clockTime(at(2034, 1, 1));
  const auto keyUsageWithout = keyUsageExtension({0x06, 0x40});
  const auto extendedKeyUsageWithout = extendedKeyUsageExtension({serverAuthentication});
  const struct {
    const char* name;
    std::vector<Bytes> extensions;
    Clock::time_point date;
    std::vector<std::string> expected;
  } rows[] = {
      {"one nanosecond before notBefore", {}, notBefore - nanoseconds(1), {notYetValid}},
      {"half a second before notBefore", {}, notBefore - milliseconds(500), {notYetValid}},
      {"at notBefore", {}, notBefore, {}},
      {"inside, no extensions", {}, notBefore + hours(24 * 365), {}},
      {"half a second before notAfter", {}, notAfter - milliseconds(500), {}},
      {"one nanosecond before notAfter", {}, notAfter - nanoseconds(1), {}},
      {"at notAfter", {}, notAfter, {expired}},
      {"after notAfter", {}, notAfter + hours(1), {expired}},
      {"no digital signature, after notAfter", {keyUsageWithout}, notAfter + hours(1), {expired, noDigitalSignature}},
      {"neither use, inside", {keyUsageWithout, extendedKeyUsageWithout}, notBefore, {noDigitalSignature, noBrowserAuthentication}},
      {"neither use, before", {keyUsageWithout, extendedKeyUsageWithout}, notBefore - seconds(1),
       {notYetValid, noDigitalSignature, noBrowserAuthentication}},
      {"no browser authentication, after", {extendedKeyUsageWithout}, notAfter, {expired, noBrowserAuthentication}},
      {"the earliest clock time", {}, Clock::time_point::min(), {notYetValid}},
      {"the latest clock time", {}, Clock::time_point::max(), {expired}},
  };
  for (const auto& row : rows) {
    Fixture fixture;
    fixture.extensions = row.extensions;
    EXPECT_EQ(CertificateProfile(fixture.der()).issues(row.date), row.expected) << row.name;
  }
}

TEST(CertificateProfile, IssuesForBoundsBeyondTheClockRange) {
  Fixture fixture;
  fixture.validity = {generalizedTime("00010101000000Z"), generalizedTime("99991231235959Z")};
  const CertificateProfile profile(fixture.der());
  EXPECT_EQ(profile.notBefore(), at(1, 1, 1));
  EXPECT_EQ(profile.notAfter(), at(9999, 12, 31, 23, 59, 59));
  for (const auto date : {Clock::time_point::min(), Clock::time_point{}, Clock::now(), Clock::time_point::max()}) {
    EXPECT_TRUE(profile.issues(date).empty());
  }
}

}  // namespace
}  // namespace corvanta

#include "connection/service/certificate_collection.hpp"
#include "connection/service/certificate_mode.hpp"
#include "connection/service/tests/service_answer.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/security/testing/test_key.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using platform::Bytes;
using platform::foundation::base64Encoded;
using platform::security::testing::CertificateOptions;
using platform::security::testing::Curve;
using platform::security::testing::TestKey;
using testing::body;
using testing::dataCorrupted;
using testing::envelope;
using testing::expectRefusals;
using testing::jsonArray;
using testing::JSONMembers;
using testing::keyNotFound;
using testing::RefusalRow;
using testing::jsonString;
using testing::typeMismatch;
using testing::valueNotFound;

// ---- CertificateMode

TEST(CertificateMode, RawValuesAreExact) {
  EXPECT_EQ(CertificateMode::fromRawValue("best_effort"), CertificateMode::bestEffort);
  EXPECT_EQ(CertificateMode::fromRawValue("mandatory"), CertificateMode::mandatory);
  EXPECT_EQ(CertificateMode::bestEffort.rawValue(), "best_effort");
  EXPECT_EQ(CertificateMode::mandatory.rawValue(), "mandatory");
  EXPECT_NE(CertificateMode::bestEffort, CertificateMode::mandatory);
  for (const char* text : {"Mandatory", "MANDATORY", "best-effort", "bestEffort", "Best_Effort", " mandatory",
                           "mandatory ", "mandatory\n", "", "optional"}) {
    EXPECT_EQ(CertificateMode::fromRawValue(text), std::nullopt) << '"' << text << '"';
  }
}

// ---- CertificateCollection

// Real certificates, made once: each test reads them through the certificate profile.
struct Material {
  Bytes signing;         // key usage digitalSignature
  Bytes authentication;  // extended key usage clientAuth
  Bytes secondSigning;   // another document-signing certificate
  Bytes ed25519;         // a well-formed certificate whose key the system cannot verify with
};

const Material& material() {
  static const Material certificates = [] {
    const auto ecKey = TestKey::ec(Curve::p256);
    const auto rsaKey = TestKey::rsa(2048);
    CertificateOptions signing;
    signing.commonName = "Ana Pop (signing)";
    signing.digitalSignature = true;
    CertificateOptions authentication;
    authentication.commonName = "Ana Pop (authentication)";
    authentication.clientAuth = true;
    CertificateOptions second;
    second.commonName = "Ana Pop (second)";
    second.serialNumber = 2;
    return Material{ecKey.selfSignedCertificate(signing), rsaKey.selfSignedCertificate(authentication),
                    ecKey.selfSignedCertificate(second), TestKey::ed25519().selfSignedCertificate()};
  }();
  return certificates;
}

const std::string chainPEM = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

JSONMembers certificateObject(const std::string& uuid, const std::string& usage, const Bytes& der,
                              const std::string& status = "valid") {
  return JSONMembers{{"certificate_uuid", jsonString(uuid)},
                     {"usage", jsonString(usage)},
                     {"status", jsonString(status)},
                     {"certificate_der_base64", jsonString(base64Encoded(der))},
                     {"certificate_chain_pem", jsonString(chainPEM)}};
}

JSONMembers signingObject() { return certificateObject("C-SIGN", "document_signing", material().signing); }
JSONMembers authenticationObject() {
  return certificateObject("C-AUTH", "client_authentication", material().authentication);
}

JSONMembers details(const std::string& mode, const std::vector<std::string>& objects) {
  return JSONMembers{{"dual_cert_mode", jsonString(mode)}, {"certificates", jsonArray(objects)}};
}

std::string answer(const std::string& mode, const std::vector<std::string>& objects) {
  return envelope(details(mode, objects));
}

CertificateCollection decode(const std::string& json) { return CertificateCollection::fromData(body(json)); }

void expectCertificate(const PublicCertificate& certificate, const std::string& id, const std::string& usage,
                       const Bytes& der, const std::string& chain) {
  EXPECT_EQ(certificate.id(), id);
  EXPECT_EQ(certificate.usage(), usage);
  EXPECT_EQ(certificate.der(), der);
  EXPECT_EQ(certificate.chainPEM(), chain);
  // The profile is the one read from these very bytes.
  EXPECT_EQ(certificate.profile().certificateSHA256(), CertificateProfile(der).certificateSHA256());
  EXPECT_EQ(certificate.profile().subject(), CertificateProfile(der).subject());
}

TEST(CertificateCollection, TakesOneCertificateOfEachUsageInTheServicesOrder) {
  const auto collection =
      decode(answer("mandatory", {authenticationObject(), signingObject().with("certificate_chain_pem", "null")}));
  EXPECT_EQ(collection.mode(), CertificateMode::mandatory);
  ASSERT_EQ(collection.certificates().size(), 2u);
  expectCertificate(collection.certificates()[0], "C-AUTH", "client_authentication", material().authentication,
                    chainPEM);
  expectCertificate(collection.certificates()[1], "C-SIGN", "document_signing", material().signing, "");
  EXPECT_TRUE(collection.certificates()[0].profile().permitsClientAuthentication());
  EXPECT_TRUE(collection.certificates()[1].profile().permitsDigitalSignature());
}

TEST(CertificateCollection, SkipsObjectsOfOtherUsagesWhateverTheyHold) {
  const std::string other = certificateObject("", "qualified_seal", material().signing, "revoked")
                                .with("certificate_der_base64", jsonString("not base64!"));
  const auto collection = decode(answer("best_effort", {other, signingObject(), authenticationObject(),
                                                        certificateObject("C-X", "Document_Signing", material().signing),
                                                        certificateObject("C-Y", "", material().signing)}));
  EXPECT_EQ(collection.mode(), CertificateMode::bestEffort);
  ASSERT_EQ(collection.certificates().size(), 2u);
  EXPECT_EQ(collection.certificates()[0].id(), "C-SIGN");
  EXPECT_EQ(collection.certificates()[1].id(), "C-AUTH");
}

TEST(CertificateCollection, AcceptsTheAnswerShapesThatCarryNoCertificate) {
  struct Row {
    const char* name;
    std::string json;
    CertificateMode mode;
  };
  const Row rows[] = {
      {"empty list", answer("mandatory", {}), CertificateMode::mandatory},
      {"only other usages", answer("best_effort", {certificateObject("S", "seal", material().signing)}),
       CertificateMode::bestEffort},
      {"success as 1.0", envelope(details("mandatory", {}), "1.0"), CertificateMode::mandatory},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto collection = decode(row.json);
    EXPECT_EQ(collection.mode(), row.mode);
    EXPECT_TRUE(collection.certificates().empty());
  }
}

TEST(CertificateCollection, IgnoresUnknownMembersAtEveryLevel) {
  const std::string json = envelope(details("mandatory", {authenticationObject()
                                                              .with("not_after", jsonString("2030-01-01"))
                                                              .with("serial", "12")})
                                        .with("active_count", "1")
                                        .with("dual_cert_modes", "[]"))
                               .with("message", jsonString("ok"))
                               .with("error", "null");
  const auto collection = decode(json);
  ASSERT_EQ(collection.certificates().size(), 1u);
  EXPECT_EQ(collection.certificates()[0].id(), "C-AUTH");
}

TEST(CertificateCollection, PassesDecodingErrorsOnUnchanged) {
  std::vector<RefusalRow> rows;
  const auto good = details("mandatory", {signingObject()});
  for (const char* key : {"certificate_uuid", "usage", "status", "certificate_der_base64"}) {
    const std::string path = std::string("data.certificates[0].") + key;
    rows.push_back({std::string(key) + " absent", answer("mandatory", {signingObject().without(key)}),
                    keyNotFound(path)});
    rows.push_back({std::string(key) + " null", answer("mandatory", {signingObject().with(key, "null")}),
                    valueNotFound(path)});
    rows.push_back({std::string(key) + " a number", answer("mandatory", {signingObject().with(key, "1")}),
                    typeMismatch(path)});
  }
  rows.push_back({"chain a number", answer("mandatory", {signingObject().with("certificate_chain_pem", "1")}),
                  typeMismatch("data.certificates[0].certificate_chain_pem")});
  rows.push_back({"usage a boolean", answer("mandatory", {signingObject().with("usage", "true")}),
                  typeMismatch("data.certificates[0].usage")});
  rows.push_back({"certificate not an object", answer("mandatory", {jsonString("C-SIGN")}),
                  typeMismatch("data.certificates[0]")});

  // The whole list is decoded before any object is looked at.
  rows.push_back({"ignored usage with a member missing",
                  answer("mandatory", {signingObject(), certificateObject("S", "seal", material().signing).without("status")}),
                  keyNotFound("data.certificates[1].status")});
  rows.push_back({"ignored usage with a mistyped chain",
                  answer("mandatory", {certificateObject("S", "seal", material().signing).with("certificate_chain_pem", "[]")}),
                  typeMismatch("data.certificates[0].certificate_chain_pem")});
  rows.push_back({"second object of a usage with a member missing",
                  answer("mandatory", {signingObject(), signingObject().without("certificate_uuid")}),
                  keyNotFound("data.certificates[1].certificate_uuid")});
  rows.push_back({"bad mode and a malformed object", answer("MANDATORY", {signingObject().without("usage")}),
                  keyNotFound("data.certificates[0].usage")});

  rows.push_back({"dual_cert_mode absent", envelope(good.without("dual_cert_mode")), keyNotFound("data.dual_cert_mode")});
  rows.push_back({"dual_cert_mode null", envelope(good.with("dual_cert_mode", "null")), valueNotFound("data.dual_cert_mode")});
  rows.push_back({"dual_cert_mode a boolean", envelope(good.with("dual_cert_mode", "true")), typeMismatch("data.dual_cert_mode")});
  rows.push_back({"certificates absent", envelope(good.without("certificates")), keyNotFound("data.certificates")});
  rows.push_back({"certificates null", envelope(good.with("certificates", "null")), valueNotFound("data.certificates")});
  rows.push_back({"certificates an object", envelope(good.with("certificates", signingObject())),
                  typeMismatch("data.certificates")});

  rows.push_back({"success true", envelope(good, "true"), typeMismatch("success")});
  rows.push_back({"success a string", envelope(good, jsonString("1")), typeMismatch("success")});
  rows.push_back({"success a fraction", envelope(good, "1.5"), dataCorrupted("success")});
  rows.push_back({"success beyond 64 bits", envelope(good, "18446744073709551616"), dataCorrupted("success")});
  rows.push_back({"success absent", envelope(good).without("success"), keyNotFound("success")});
  rows.push_back({"success null", envelope(good, "null"), valueNotFound("success")});
  rows.push_back({"success true and data absent", envelope(good, "true").without("data"), typeMismatch("success")});
  rows.push_back({"data absent", envelope(good).without("data"), keyNotFound("data")});
  rows.push_back({"data null", envelope("null"), valueNotFound("data")});
  rows.push_back({"data an array", envelope("[]"), typeMismatch("data")});

  rows.push_back({"key twice in a certificate",
                  answer("mandatory", {signingObject().repeating("status", jsonString("revoked"))}), dataCorrupted()});
  rows.push_back({"key twice in the envelope", envelope(good).repeating("success", "0"), dataCorrupted()});
  rows.push_back({"not JSON", "<html>502 Bad Gateway</html>", dataCorrupted()});
  rows.push_back({"empty body", "", dataCorrupted()});
  rows.push_back({"truncated", answer("mandatory", {signingObject()}).substr(0, 40), dataCorrupted()});
  rows.push_back({"not an object", jsonArray({answer("mandatory", {})}), typeMismatch("")});
  expectRefusals(decode, rows);
}

TEST(CertificateCollection, RefusesWhatFailsItsChecks) {
  const auto& m = material();
  const auto good = details("mandatory", {signingObject()});
  const std::string signing64 = base64Encoded(m.signing);
  Bytes withExtraByte = m.signing;
  withExtraByte.push_back(0x00);

  const std::vector<RefusalRow> rows = {
      {"success 0 with perfect data", envelope(good, "0"), ConnectionError::invalidResponse},
      {"success 2", envelope(good, "2"), ConnectionError::invalidResponse},
      {"success -1", envelope(good, "-1"), ConnectionError::invalidResponse},
      {"success 0 before the mode", envelope(details("unknown", {}), "0"), ConnectionError::invalidResponse},

      {"mode in capitals", answer("MANDATORY", {}), ConnectionError::unknownCertificateMode},
      {"mode differing in case", answer("Mandatory", {signingObject()}), ConnectionError::unknownCertificateMode},
      {"mode with a hyphen", answer("best-effort", {}), ConnectionError::unknownCertificateMode},
      {"mode empty", answer("", {}), ConnectionError::unknownCertificateMode},
      {"mode before the certificates", answer("single", {signingObject(), signingObject().with("status", jsonString("x"))}),
       ConnectionError::unknownCertificateMode},

      {"two signing certificates, the second not valid",
       answer("mandatory", {signingObject(), signingObject().with("status", jsonString("revoked"))}),
       ConnectionError::ambiguousCertificates},
      {"two signing certificates, the first not valid",
       answer("mandatory", {signingObject().with("status", jsonString("revoked")), signingObject()}),
       ConnectionError::invalidCertificate},
      {"two valid authentication certificates",
       answer("best_effort", {authenticationObject(), signingObject(),
                              certificateObject("C-AUTH-2", "client_authentication", m.signing)}),
       ConnectionError::ambiguousCertificates},
      {"second of a usage with unreadable DER",
       answer("mandatory", {signingObject(), signingObject().with("certificate_der_base64", jsonString("%%%"))}),
       ConnectionError::ambiguousCertificates},

      {"empty certificate_uuid", answer("mandatory", {signingObject().with("certificate_uuid", jsonString(""))}),
       ConnectionError::invalidCertificate},
      {"status in capitals", answer("mandatory", {signingObject().with("status", jsonString("Valid"))}),
       ConnectionError::invalidCertificate},
      {"status with a space", answer("mandatory", {signingObject().with("status", jsonString("valid "))}),
       ConnectionError::invalidCertificate},
      {"status expired", answer("mandatory", {authenticationObject().with("status", jsonString("expired"))}),
       ConnectionError::invalidCertificate},

      {"Base64 with a line break",
       answer("mandatory", {signingObject().with("certificate_der_base64",
                                                 jsonString(signing64.substr(0, 64) + "\n" + signing64.substr(64)))}),
       ConnectionError::invalidCertificate},
      {"Base64 with a trailing line break",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString(signing64 + "\r\n"))}),
       ConnectionError::invalidCertificate},
      {"Base64 with a leading space",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString(" " + signing64))}),
       ConnectionError::invalidCertificate},
      {"Base64 without its padding",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString("MIIBAA"))}),
       ConnectionError::invalidCertificate},
      {"Base64 in the URL-safe alphabet",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString("MII-_w=="))}),
       ConnectionError::invalidCertificate},

      {"empty DER", answer("mandatory", {signingObject().with("certificate_der_base64", jsonString(""))}),
       ConnectionError::invalidCertificate},
      {"DER that is no certificate",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString("AAAA"))}),
       ConnectionError::invalidCertificate},
      {"certificate followed by a byte",
       answer("mandatory", {signingObject().with("certificate_der_base64", jsonString(base64Encoded(withExtraByte)))}),
       ConnectionError::invalidCertificate},
      {"certificate whose key cannot verify",
       answer("mandatory", {certificateObject("C-ED", "client_authentication", m.ed25519)}),
       ConnectionError::invalidCertificate},
      {"a good certificate, then a bad one",
       answer("mandatory", {authenticationObject(),
                            signingObject().with("certificate_der_base64", jsonString(base64Encoded(withExtraByte)))}),
       ConnectionError::invalidCertificate},
  };
  expectRefusals(decode, rows);
}

TEST(CertificateCollection, AuthenticationCertificateFollowsTheMode) {
  const auto& m = material();
  const PublicCertificate signing("S1", "document_signing", m.signing, "", CertificateProfile(m.signing));
  const PublicCertificate secondSigning("S2", "document_signing", m.secondSigning, "",
                                        CertificateProfile(m.secondSigning));
  const PublicCertificate authentication("A1", "client_authentication", m.authentication, "",
                                         CertificateProfile(m.authentication));
  struct Row {
    const char* name;
    CertificateMode mode;
    std::vector<PublicCertificate> certificates;
    std::optional<std::string> expectedID;
  };
  const Row rows[] = {
      {"best effort, signing only", CertificateMode::bestEffort, {signing}, "S1"},
      {"mandatory, signing only", CertificateMode::mandatory, {signing}, std::nullopt},
      {"best effort, both", CertificateMode::bestEffort, {signing, authentication}, "A1"},
      {"mandatory, both", CertificateMode::mandatory, {signing, authentication}, "A1"},
      {"mandatory, authentication only", CertificateMode::mandatory, {authentication}, "A1"},
      {"best effort, none", CertificateMode::bestEffort, {}, std::nullopt},
      {"mandatory, none", CertificateMode::mandatory, {}, std::nullopt},
      {"best effort, the first signing one", CertificateMode::bestEffort, {signing, secondSigning}, "S1"},
  };
  for (const auto& row : rows) {
    const CertificateCollection collection(row.mode, row.certificates);
    const auto chosen = collection.authenticationCertificate();
    EXPECT_EQ(chosen ? std::optional<std::string>(chosen->id()) : std::nullopt, row.expectedID) << row.name;
    if (chosen) {
      EXPECT_EQ(chosen->profile().certificateSHA256(), CertificateProfile(chosen->der()).certificateSHA256());
    }
  }

  const auto decoded = decode(answer("best_effort", {signingObject()}));
  ASSERT_TRUE(decoded.authenticationCertificate());
  EXPECT_EQ(decoded.authenticationCertificate()->id(), "C-SIGN");
  EXPECT_FALSE(decode(answer("mandatory", {signingObject()})).authenticationCertificate());
}

}  // namespace
}  // namespace corvanta

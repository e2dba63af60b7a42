// Every root certificate of the Mozilla CA bundle kept under third_party/ must read, and what the
// reader finds must agree with what the openssl command reports for the same file.
#include "connection/certificate/certificate_profile.hpp"

#include "connection/certificate/der_node.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/bytes.hpp"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace corvanta {
namespace {

namespace fs = std::filesystem;
using platform::Bytes;

const fs::path bundle = fs::path(CORVANTA_MOZILLA_CA_DIR);

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

std::string run(const std::string& command) {
  struct PipeClose {
    void operator()(FILE* pipe) const noexcept { pclose(pipe); }
  };
  std::unique_ptr<FILE, PipeClose> pipe(popen(command.c_str(), "r"));
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string output;
  std::array<char, 4096> buffer;
  while (const auto count = fread(buffer.data(), 1, buffer.size(), pipe.get())) {
    output.append(buffer.data(), count);
  }
  return output;
}

// The DER bytes of the PEM file exactly as they were encoded, without decoding the certificate.
Bytes derOf(const fs::path& file) {
  struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
  };
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(file.c_str(), "r"));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  Bytes der;
  if (bio && PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1) {
    der.assign(data, data + length);
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);
  return der;
}

// The command prints the serial number's magnitude with a minus sign for a negative one; the
// profile gives the INTEGER's content octets, the minimal two's-complement form.
std::string serialContentOf(std::string printed) {
  const bool negative = printed.starts_with("-");
  if (negative) {
    printed.erase(0, 1);
  }
  if (printed.size() % 2 != 0) {
    printed.insert(0, "0");
  }
  Bytes magnitude = platform::foundation::hexDecoded(printed).value_or(Bytes{});
  if (!negative) {
    if (magnitude.empty() || magnitude[0] & 0x80) {
      magnitude.insert(magnitude.begin(), 0x00);
    }
    return platform::foundation::uppercaseHex(magnitude);
  }
  int carry = 1;
  for (auto it = magnitude.rbegin(); it != magnitude.rend(); ++it) {
    const int value = static_cast<std::uint8_t>(~*it) + carry;
    *it = static_cast<std::uint8_t>(value);
    carry = value >> 8;
  }
  if (!(magnitude[0] & 0x80)) {
    magnitude.insert(magnitude.begin(), 0xFF);
  }
  while (magnitude.size() > 1 && magnitude[0] == 0xFF && (magnitude[1] & 0x80)) {
    magnitude.erase(magnitude.begin());
  }
  return platform::foundation::uppercaseHex(magnitude);
}

TEST(CertificateBundle, NegativeSerialOracleConversion) {
  EXPECT_EQ(serialContentOf("-04316693ED"), "FBCE996C13");
  EXPECT_EQ(serialContentOf("-80"), "80");
  EXPECT_EQ(serialContentOf("-0100"), "FF00");
  EXPECT_EQ(serialContentOf("9A"), "009A");
  EXPECT_EQ(serialContentOf("7F"), "7F");
}

// "2011-05-05 09:37:37Z"
std::optional<std::chrono::sys_seconds> isoDate(const std::string& text) {
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%d-%u-%u %u:%u:%uZ", &year, &month, &day, &hour, &minute, &second) != 6) {
    return std::nullopt;
  }
  using namespace std::chrono;
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} + seconds{second};
}

struct Reported {
  std::optional<std::chrono::sys_seconds> notBefore;
  std::optional<std::chrono::sys_seconds> notAfter;
  std::string serial;
  std::vector<std::string> issuerCommonNames;
  std::vector<std::string> issuerOrganizationNames;
  bool hasKeyUsage = false;
  bool digitalSignature = false;
  bool hasExtendedKeyUsage = false;
  bool clientAuthentication = false;
  std::string keyAlgorithm;
  int keyBits = 0;
  Bytes subjectPublicKeyInfo;
};

std::string afterPrefix(const std::string& line, const std::string& prefix) {
  return line.starts_with(prefix) ? line.substr(prefix.size()) : std::string();
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

Reported report(const fs::path& file) {
  const auto output = run("openssl x509 -in " + shellQuoted(file.string()) +
                          " -noout -dateopt iso_8601 -nameopt multiline,utf8,-esc_msb -startdate -enddate -serial"
                          " -issuer -ext keyUsage,extendedKeyUsage -pubkey -text 2>/dev/null");
  Reported reported;
  std::istringstream lines(output);
  std::string line;
  enum class Block { none, issuer, keyUsage, extendedKeyUsage, publicKey } block = Block::none;
  std::string publicKey;
  while (std::getline(lines, line)) {
    if (block == Block::issuer && line.starts_with("    ")) {
      const auto equals = line.find(" = ");
      const auto type = trimmed(line.substr(0, equals));
      const auto value = equals == std::string::npos ? std::string() : line.substr(equals + 3);
      if (type == "commonName") reported.issuerCommonNames.push_back(value);
      if (type == "organizationName") reported.issuerOrganizationNames.push_back(value);
      continue;
    }
    if (block == Block::keyUsage) {
      reported.digitalSignature = line.find("Digital Signature") != std::string::npos;
      block = Block::none;
      continue;
    }
    if (block == Block::extendedKeyUsage) {
      reported.clientAuthentication = line.find("TLS Web Client Authentication") != std::string::npos ||
                                      line.find("Any Extended Key Usage") != std::string::npos;
      block = Block::none;
      continue;
    }
    if (block == Block::publicKey) {
      if (line == "-----END PUBLIC KEY-----") {
        reported.subjectPublicKeyInfo = platform::foundation::base64Decoded(publicKey).value_or(Bytes{});
        block = Block::none;
      } else {
        publicKey += line;
      }
      continue;
    }
    block = Block::none;
    if (line.starts_with("notBefore=")) reported.notBefore = isoDate(afterPrefix(line, "notBefore="));
    if (line.starts_with("notAfter=")) reported.notAfter = isoDate(afterPrefix(line, "notAfter="));
    if (line.starts_with("serial=")) reported.serial = afterPrefix(line, "serial=");
    if (line == "issuer=") block = Block::issuer;
    if (line.starts_with("X509v3 Key Usage")) {
      reported.hasKeyUsage = true;
      block = Block::keyUsage;
    }
    if (line.starts_with("X509v3 Extended Key Usage")) {
      reported.hasExtendedKeyUsage = true;
      block = Block::extendedKeyUsage;
    }
    if (line == "-----BEGIN PUBLIC KEY-----") block = Block::publicKey;
    if (const auto algorithm = afterPrefix(trimmed(line), "Public Key Algorithm: "); !algorithm.empty()) {
      reported.keyAlgorithm = algorithm;
    }
    if (const auto size = afterPrefix(trimmed(line), "Public-Key: ("); !size.empty() && reported.keyBits == 0) {
      reported.keyBits = std::stoi(size);
    }
  }
  return reported;
}

// The key as the certificate holds it: the content of the SubjectPublicKeyInfo's BIT STRING.
Bytes subjectPublicKeyOf(const Bytes& subjectPublicKeyInfo) {
  const auto outer = DERNode::elements(subjectPublicKeyInfo);
  if (outer.size() != 1) return {};
  const auto parts = outer[0].children();
  if (parts.size() != 2 || parts[1].tag != 0x03 || parts[1].value.empty() || parts[1].value[0] != 0) return {};
  return Bytes(parts[1].value.begin() + 1, parts[1].value.end());
}

TEST(CertificateBundle, EveryCertificateReadsAndAgreesWithTheOpensslCommand) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(bundle)) {
    if (entry.path().extension() == ".crt") {
      files.push_back(entry.path());
    }
  }
  ASSERT_GE(files.size(), 100u) << "the CA bundle is missing from " << bundle;

  int withDigitalSignature = 0;
  int ellipticCurve = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto der = derOf(file);
    ASSERT_FALSE(der.empty());
    std::optional<CertificateProfile> profile;
    try {
      profile.emplace(der);
    } catch (const ConnectionError& error) {
      ADD_FAILURE() << error.what();
      continue;
    }
    const auto reported = report(file);
    ASSERT_TRUE(reported.notBefore && reported.notAfter);
    EXPECT_EQ(profile->notBefore(), *reported.notBefore);
    EXPECT_EQ(profile->notAfter(), *reported.notAfter);
    ASSERT_FALSE(reported.serial.empty());
    EXPECT_EQ(profile->serialNumber(), serialContentOf(reported.serial));
    EXPECT_EQ(profile->permitsDigitalSignature(), !reported.hasKeyUsage || reported.digitalSignature);
    EXPECT_EQ(profile->permitsClientAuthentication(), !reported.hasExtendedKeyUsage || reported.clientAuthentication);

    std::optional<std::string> issuer;
    for (const auto& names : {reported.issuerCommonNames, reported.issuerOrganizationNames}) {
      for (const auto& value : names) {
        if (!issuer && !value.empty()) issuer = value;
      }
      if (issuer) break;
    }
    EXPECT_EQ(profile->issuer(), issuer);

    if (reported.keyAlgorithm == "rsaEncryption") {
      EXPECT_EQ(profile->key().kind(), SigningAlgorithm::KeyKind::rsa);
      // The platform gives an RSA key's size in whole bytes of its modulus.
      EXPECT_EQ(profile->key().sizeInBits(), (reported.keyBits + 7) / 8 * 8);
    } else {
      EXPECT_EQ(reported.keyAlgorithm, "id-ecPublicKey");
      EXPECT_EQ(profile->key().kind(), SigningAlgorithm::KeyKind::ellipticCurve);
      EXPECT_EQ(profile->key().sizeInBits(), reported.keyBits);
      ++ellipticCurve;
    }
    EXPECT_EQ(profile->key().representation(), subjectPublicKeyOf(reported.subjectPublicKeyInfo));
    if (profile->permitsDigitalSignature()) ++withDigitalSignature;
  }
  // The bundle's make-up as the command sees it, so that a parser fault in this test cannot
  // quietly make every comparison agree.
  EXPECT_GT(withDigitalSignature, 0);
  EXPECT_LT(withDigitalSignature, static_cast<int>(files.size()));
  EXPECT_GT(ellipticCurve, 0);
}

}  // namespace
}  // namespace corvanta

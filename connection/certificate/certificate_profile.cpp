#include "connection/certificate/certificate_profile.hpp"

#include "connection/certificate/der_node.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/security/certificate.hpp"
#include "platform/security/digest.hpp"
#include "sign-core/signing_error.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string_view>

namespace corvanta {
namespace {

namespace security = platform::security;

constexpr std::uint8_t sequenceTag = 0x30;
constexpr std::uint8_t versionTag = 0xA0;
constexpr std::uint8_t extensionsTag = 0xA3;
constexpr std::uint8_t objectIdentifierTag = 0x06;
constexpr std::uint8_t octetStringTag = 0x04;
constexpr std::uint8_t bitStringTag = 0x03;
constexpr std::uint8_t booleanTag = 0x01;

// Object identifiers are compared as their content octets, never decoded.
constexpr std::array<std::uint8_t, 3> keyUsage{0x55, 0x1D, 0x0F};
constexpr std::array<std::uint8_t, 3> extendedKeyUsage{0x55, 0x1D, 0x25};
constexpr std::array<std::uint8_t, 8> clientAuthentication{0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x02};
constexpr std::array<std::uint8_t, 4> anyExtendedKeyUsage{0x55, 0x1D, 0x25, 0x00};

constexpr std::string_view commonNameType = "2.5.4.3";
constexpr std::string_view organizationNameType = "2.5.4.10";
constexpr std::string_view serialNumberType = "2.5.4.5";

[[noreturn]] void refuse() { throw ConnectionError::invalidCertificate; }

template <std::size_t N>
bool octetsEqual(platform::ByteView value, const std::array<std::uint8_t, N>& identifier) {
  return std::equal(value.begin(), value.end(), identifier.begin(), identifier.end());
}

// The single element the bytes must hold, with the expected tag.
DERNode only(platform::ByteView bytes, std::uint8_t tag) {
  const auto nodes = DERNode::elements(bytes);
  if (nodes.size() != 1 || nodes[0].tag != tag) {
    refuse();
  }
  return nodes[0];
}

bool readsDigitalSignature(platform::ByteView extensionValue) {
  const auto bits = only(extensionValue, bitStringTag).value;
  if (bits.size() < 2 || bits[0] > 7) {
    refuse();
  }
  const unsigned unusedMask = (1u << bits[0]) - 1;
  if ((bits.back() & unusedMask) != 0) {
    refuse();
  }
  return (bits[1] & 0x80) != 0;
}

bool readsClientAuthentication(platform::ByteView extensionValue) {
  const auto purposes = only(extensionValue, sequenceTag).children();
  // Every purpose is checked before any is searched, so that the answer never depends on where
  // a malformed element sits in the list.
  if (purposes.empty() || std::any_of(purposes.begin(), purposes.end(),
                                      [](const DERNode& purpose) { return purpose.tag != objectIdentifierTag; })) {
    refuse();
  }
  return std::any_of(purposes.begin(), purposes.end(), [](const DERNode& purpose) {
    return octetsEqual(purpose.value, clientAuthentication) || octetsEqual(purpose.value, anyExtendedKeyUsage);
  });
}

struct Permissions {
  bool digitalSignature = true;
  bool clientAuthentication = true;
};

Permissions readExtensions(const std::vector<DERNode>& tbs) {
  const DERNode* extensionsElement = nullptr;
  for (const auto& element : tbs) {
    if (element.tag == extensionsTag) {
      if (extensionsElement != nullptr) {
        refuse();
      }
      extensionsElement = &element;
    }
  }
  Permissions permissions;
  if (extensionsElement == nullptr) {
    return permissions;
  }

  std::set<platform::Bytes> seen;
  for (const auto& extension : only(extensionsElement->value, sequenceTag).children()) {
    if (extension.tag != sequenceTag) {
      refuse();
    }
    const auto parts = extension.children();
    if (parts.size() < 2 || parts.size() > 3 || parts[0].tag != objectIdentifierTag) {
      refuse();
    }
    const auto& identifier = parts[0].value;
    if (!seen.emplace(identifier.begin(), identifier.end()).second) {
      refuse();
    }
    const auto& value = parts.back();
    if (value.tag != octetStringTag) {
      refuse();
    }
    if (parts.size() == 3 && (parts[1].tag != booleanTag || parts[1].value.size() != 1 || parts[1].value[0] != 0xFF)) {
      refuse();
    }
    if (octetsEqual(identifier, keyUsage)) {
      permissions.digitalSignature = readsDigitalSignature(value.value);
    } else if (octetsEqual(identifier, extendedKeyUsage)) {
      permissions.clientAuthentication = readsClientAuthentication(value.value);
    }
    // Any other extension is skipped, critical or not: the profile reads only these two, and
    // the service is the certificate's source of trust.
  }
  return permissions;
}

}  // namespace

struct CertificateProfile::Fields {
  std::string subject;
  std::optional<std::string> issuer;
  std::optional<std::string> identityNumber;
  std::optional<std::string> serialNumber;
  std::chrono::sys_seconds notBefore;
  std::chrono::sys_seconds notAfter;
  Permissions permissions;
  VerificationKey key;
  platform::Bytes certificateSHA256;
};

CertificateProfile::CertificateProfile(platform::ByteView der) : CertificateProfile(read(der)) {}

CertificateProfile::CertificateProfile(Fields fields)
    : subject_(std::move(fields.subject)),
      issuer_(std::move(fields.issuer)),
      identityNumber_(std::move(fields.identityNumber)),
      serialNumber_(std::move(fields.serialNumber)),
      notBefore_(fields.notBefore),
      notAfter_(fields.notAfter),
      permitsDigitalSignature_(fields.permissions.digitalSignature),
      permitsClientAuthentication_(fields.permissions.clientAuthentication),
      key_(std::move(fields.key)),
      certificateSHA256_(std::move(fields.certificateSHA256)) {}

CertificateProfile::Fields CertificateProfile::read(platform::ByteView der) {
  // The size comes first, so that no platform call ever sees an oversized input.
  if (der.empty() || der.size() > maximumByteCount) {
    refuse();
  }
  const auto certificate = security::Certificate::createWithData(der);
  if (!certificate) {
    refuse();
  }
  auto key = [&] {
    try {
      return VerificationKey::fromCertificateDER(der);
    } catch (const SigningError&) {
      refuse();
    }
  }();

  auto subject = security::copySubjectSummary(*certificate).value_or("Certificate holder");
  const auto issuerName = security::copyIssuerName(*certificate);
  auto issuer = firstText(commonNameType, issuerName);
  if (!issuer) {
    issuer = firstText(organizationNameType, issuerName);
  }
  auto identityNumber = firstText(serialNumberType, security::copySubjectName(*certificate));
  std::optional<std::string> serialNumber;
  if (const auto serial = security::copySerialNumberData(*certificate)) {
    serialNumber = platform::foundation::uppercaseHex(*serial);
  }
  auto certificateSHA256 = security::sha256(der);

  const auto top = DERNode::elements(der);
  if (top.size() != 1 || top[0].tag != sequenceTag) {
    refuse();
  }
  const auto parts = top[0].children();
  if (parts.size() != 3 || parts[0].tag != sequenceTag) {
    refuse();
  }
  const auto tbs = parts[0].children();
  const std::size_t offset = !tbs.empty() && tbs[0].tag == versionTag ? 1 : 0;
  if (tbs.size() < offset + 6 || tbs[offset + 3].tag != sequenceTag) {
    refuse();
  }
  const auto validity = tbs[offset + 3].children();
  if (validity.size() != 2) {
    refuse();
  }
  const auto notBefore = validity[0].date();
  const auto notAfter = validity[1].date();
  if (!(notBefore < notAfter)) {
    refuse();
  }

  return Fields{std::move(subject),
                std::move(issuer),
                std::move(identityNumber),
                std::move(serialNumber),
                notBefore,
                notAfter,
                readExtensions(tbs),
                std::move(key),
                std::move(certificateSHA256)};
}

std::string CertificateProfile::algorithmDescription() const {
  const char* word = key_.kind() == SigningAlgorithm::KeyKind::rsa ? "RSA" : "ECDSA";
  return std::string(word) + " \u00B7 " + std::to_string(key_.sizeInBits()) + "-bit";
}

std::vector<std::string> CertificateProfile::issues(std::chrono::system_clock::time_point date) const {
  // The bounds are whole seconds, and they can lie beyond the clock's range (notAfter 9999 is
  // common), so the date comes down to seconds rather than the bounds up to its resolution. Only
  // flooring keeps both comparisons exact.
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  std::vector<std::string> texts;
  if (seconds < notBefore_) {
    texts.emplace_back("This certificate is not valid yet.");
  }
  if (seconds >= notAfter_) {
    texts.emplace_back("This certificate has expired.");
  }
  if (!permitsDigitalSignature_) {
    texts.emplace_back("This certificate does not permit digital signatures.");
  }
  if (!permitsClientAuthentication_) {
    texts.emplace_back("This certificate does not permit browser authentication.");
  }
  return texts;
}

std::optional<std::string> firstText(std::string_view labelled, const std::vector<platform::security::NameAttribute>& in) {
  for (const auto& attribute : in) {
    if (attribute.type == labelled && attribute.text && !attribute.text->empty()) {
      return attribute.text;
    }
  }
  return std::nullopt;
}

}  // namespace corvanta

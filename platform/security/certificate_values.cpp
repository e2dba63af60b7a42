#include "platform/security/certificate_values.hpp"

#include "platform/security/openssl_handles.hpp"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <memory>

namespace platform::security {
namespace {

struct OpenSSLFree {
  void operator()(unsigned char* bytes) const noexcept { OPENSSL_free(bytes); }
};

using GeneralNamesPointer = std::unique_ptr<GENERAL_NAMES, detail::FreeWith<GENERAL_NAMES, GENERAL_NAMES_free>>;

// UTF-8 of a string value; none for a type that is not text or content that does not convert.
std::optional<std::string> textOf(const ASN1_STRING* value) {
  unsigned char* raw = nullptr;
  const int length = ASN1_STRING_to_UTF8(&raw, value);
  std::unique_ptr<unsigned char, OpenSSLFree> owned(raw);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(length));
}

std::string dottedIdentifier(const ASN1_OBJECT* object) {
  const int length = OBJ_obj2txt(nullptr, 0, object, 1);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  if (OBJ_obj2txt(text.data(), length + 1, object, 1) != length) {
    return {};
  }
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::vector<NameAttribute> attributesOf(const X509_NAME* name) {
  std::vector<NameAttribute> attributes;
  if (name == nullptr) {
    return attributes;
  }
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    attributes.push_back(NameAttribute{dottedIdentifier(X509_NAME_ENTRY_get_object(entry)),
                                       textOf(X509_NAME_ENTRY_get_data(entry))});
  }
  return attributes;
}

// A candidate for the summary: text that says something. An empty value names no one, so it must
// not win over a weaker but real candidate; it is noted, so that a subject whose only names are
// empty still has its (empty) summary.
std::optional<std::string> nonEmptyTextOf(const ASN1_STRING* value, bool& sawEmpty) {
  auto text = textOf(value);
  if (text && text->empty()) {
    sawEmpty = true;
    return std::nullopt;
  }
  return text;
}

// The holder's e-mail address, else a DNS name, from the subject alternative name.
std::optional<std::string> alternativeName(const X509* certificate, bool& sawEmpty) {
  GeneralNamesPointer names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) {
    return std::nullopt;
  }
  std::optional<std::string> dnsName;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type == GEN_EMAIL) {
      if (auto text = nonEmptyTextOf(name->d.rfc822Name, sawEmpty)) {
        return text;
      }
    } else if (name->type == GEN_DNS && !dnsName) {
      dnsName = nonEmptyTextOf(name->d.dNSName, sawEmpty);
    }
  }
  return dnsName;
}

int summaryRank(int nid) {
  switch (nid) {
    case NID_commonName: return 4;
    case NID_organizationalUnitName: return 3;
    case NID_organizationName: return 2;
    default: return 1;
  }
}

void prepend(std::string& list, const std::string& item) { list = list.empty() ? item : item + ", " + list; }

}  // namespace

std::optional<std::string> copySubjectSummary(const Certificate& certificate) {
  const detail::ErrorQueueScope errors;
  const X509_NAME* subject = X509_get_subject_name(certificate.native());
  int bestRank = 0;
  bool sawEmpty = false;
  std::string summary;
  std::optional<std::string> descriptions;
  const int count = subject == nullptr ? 0 : X509_NAME_entry_count(subject);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
    const auto text = nonEmptyTextOf(X509_NAME_ENTRY_get_data(entry), sawEmpty);
    if (!text) {
      continue;
    }
    const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
    if (nid == NID_description) {
      if (descriptions) {
        prepend(*descriptions, *text);
      } else {
        descriptions = *text;
      }
    }
    const int rank = summaryRank(nid);
    if (rank > bestRank) {
      bestRank = rank;
      summary = *text;
    } else if (rank == bestRank) {
      summary = *text + ", " + summary;
    }
  }

  if (bestRank == summaryRank(NID_commonName)) {
    if (descriptions) {
      summary += " (" + *descriptions + ")";
    }
    return summary;
  }
  if (auto alternative = alternativeName(certificate.native(), sawEmpty)) {
    return alternative;
  }
  if (bestRank == 0) {
    return sawEmpty ? std::optional<std::string>(std::string()) : std::nullopt;
  }
  return summary;
}

std::vector<NameAttribute> copyIssuerName(const Certificate& certificate) {
  const detail::ErrorQueueScope errors;
  return attributesOf(X509_get_issuer_name(certificate.native()));
}

std::vector<NameAttribute> copySubjectName(const Certificate& certificate) {
  const detail::ErrorQueueScope errors;
  return attributesOf(X509_get_subject_name(certificate.native()));
}

std::optional<Bytes> copySerialNumberData(const Certificate& certificate) {
  const detail::ErrorQueueScope errors;
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate.native());
  if (serial == nullptr) {
    return std::nullopt;
  }
  // The library keeps the number as sign and magnitude; encoding it again gives back the content
  // octets as the certificate wrote them, since only minimal INTEGER encodings are read.
  const int length = i2d_ASN1_INTEGER(serial, nullptr);
  if (length < 2) {
    return std::nullopt;
  }
  Bytes encoded(static_cast<std::size_t>(length));
  unsigned char* out = encoded.data();
  if (i2d_ASN1_INTEGER(serial, &out) != length) {
    return std::nullopt;
  }
  std::size_t header = 2;
  if (encoded[1] & 0x80) {
    header += encoded[1] & 0x7F;
  }
  if (header > encoded.size()) {
    return std::nullopt;
  }
  return Bytes(encoded.begin() + static_cast<std::ptrdiff_t>(header), encoded.end());
}

}  // namespace platform::security

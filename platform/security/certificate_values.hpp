#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/certificate.hpp"

#include <optional>
#include <string>
#include <vector>

namespace platform::security {

// One attribute of a distinguished name.
struct NameAttribute {
  // The attribute type as a dotted object identifier, e.g. "2.5.4.3".
  std::string type;
  // The value as UTF-8 text (the empty text included); none when the value is not a string type
  // that converts to text, such as a BIT STRING.
  std::optional<std::string> text;

  friend bool operator==(const NameAttribute&, const NameAttribute&) = default;
};

// A one-line name for the certificate's holder, chosen from the subject's text attributes and the
// subject alternative name; none when there is nothing to name the holder by.
//
// Common name ranks above organisational unit, above organisation, above any other text
// attribute. Of equal rank, the attribute later in the name comes first ("B, A" for CN=A then
// CN=B). When a common name wins, the descriptions follow in parentheses; when none does, the
// first e-mail address of the subject alternative name, else its first DNS name, stands in its
// place.
std::optional<std::string> copySubjectSummary(const Certificate& certificate);

// The attributes of the issuer's and the subject's name, in encoded order: the relative
// distinguished names in turn, the attributes of each in the order they are written.
std::vector<NameAttribute> copyIssuerName(const Certificate& certificate);
std::vector<NameAttribute> copySubjectName(const Certificate& certificate);

// The content octets of the serial number INTEGER exactly as encoded: a leading 00 stays, and a
// negative serial number is its two's-complement octets. None when the certificate has none.
std::optional<Bytes> copySerialNumberData(const Certificate& certificate);

}  // namespace platform::security

#pragma once

#include "platform/foundation/bytes.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

namespace corvanta {

// One DER element as the certificate reader walks it. The value views the bytes that were read,
// which outlive the walk. Every refusal throws ConnectionError::invalidCertificate: the walk only
// ever reads certificates.
struct DERNode {
  // The whole identifier octet: class, constructed bit and tag number together.
  std::uint8_t tag;
  platform::ByteView value;

  // The elements that the bytes hold one after another, nothing left over. Only single-octet
  // identifiers and minimal definite lengths of at most three octets are read.
  static std::vector<DERNode> elements(platform::ByteView bytes);
  // The nodes would view bytes that are gone by the time they are read.
  static std::vector<DERNode> elements(platform::Bytes&&) = delete;

  std::vector<DERNode> children() const { return elements(value); }

  // A UTCTime or GeneralizedTime in its strict form: whole seconds and the letter Z, nothing else.
  std::chrono::sys_seconds date() const;
};

}  // namespace corvanta

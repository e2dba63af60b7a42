#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

// A tiny DER writer for fixtures: every element is written with its minimal length unless a test
// writes the octets itself.
namespace corvanta::testing {

using platform::Bytes;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes lengthOctets(std::size_t length) {
  if (length < 0x80) {
    return {static_cast<std::uint8_t>(length)};
  }
  Bytes octets;
  for (std::size_t rest = length; rest != 0; rest >>= 8) {
    octets.insert(octets.begin(), static_cast<std::uint8_t>(rest & 0xFF));
  }
  octets.insert(octets.begin(), static_cast<std::uint8_t>(0x80 | octets.size()));
  return octets;
}

inline Bytes element(std::uint8_t tag, const Bytes& content) { return Bytes{tag} + lengthOctets(content.size()) + content; }

inline Bytes constructed(std::uint8_t tag, const std::vector<Bytes>& parts) {
  Bytes content;
  for (const auto& part : parts) {
    content = content + part;
  }
  return element(tag, content);
}

inline Bytes sequence(const std::vector<Bytes>& parts) { return constructed(0x30, parts); }
inline Bytes set(const std::vector<Bytes>& parts) { return constructed(0x31, parts); }
inline Bytes objectIdentifier(const Bytes& content) { return element(0x06, content); }
inline Bytes octetString(const Bytes& content) { return element(0x04, content); }
// The content begins with the count of unused bits.
inline Bytes bitString(const Bytes& content) { return element(0x03, content); }
inline Bytes boolean(std::uint8_t octet) { return element(0x01, {octet}); }
inline Bytes integer(const Bytes& content) { return element(0x02, content); }
inline Bytes text(std::uint8_t tag, std::string_view value) { return element(tag, platform::bytesOf(value)); }
inline Bytes utf8String(std::string_view value) { return text(0x0C, value); }
inline Bytes printableString(std::string_view value) { return text(0x13, value); }
inline Bytes utcTime(std::string_view value) { return text(0x17, value); }
inline Bytes generalizedTime(std::string_view value) { return text(0x18, value); }
inline Bytes null() { return {0x05, 0x00}; }

}  // namespace corvanta::testing

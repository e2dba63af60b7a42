#pragma once

#include "platform/foundation/bytes.hpp"

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace platform::tokenkit {

// The operations a token key may be asked for, numbered as token clients know them.
enum class Operation : int {
  none = 0,
  readData = 1,
  signData = 2,
  decryptData = 3,
  performKeyExchange = 4,
};

// What a key demands before an operation: false, never allowed; true, always allowed; a text, a
// constraint of the token's own that the token session must satisfy (by authenticating the user)
// before the operation runs.
using Constraint = std::variant<bool, std::string>;

// A certificate a token offers.
struct KeychainCertificate {
  std::string objectID;
  std::string label;
  Bytes certificateDER;

  friend bool operator==(const KeychainCertificate&, const KeychainCertificate&) = default;
};

// The private key of a token's certificate: what it can do and what each operation demands.
struct KeychainKey {
  std::string objectID;
  std::string label;
  Bytes certificateDER;
  bool canSign = false;
  bool canDecrypt = false;
  bool canPerformKeyExchange = false;
  bool isSuitableForLogin = false;
  std::map<Operation, Constraint> constraints;

  friend bool operator==(const KeychainKey&, const KeychainKey&) = default;
};

using KeychainItem = std::variant<KeychainCertificate, KeychainKey>;

// The items of a certificate: none when the DER is not exactly one certificate, and for the key
// none also when the certificate's public key does not read.
std::optional<KeychainCertificate> makeCertificateItem(ByteView certificateDER, std::string objectID);
std::optional<KeychainKey> makeKeyItem(ByteView certificateDER, std::string objectID);

}  // namespace platform::tokenkit

#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/testing/test_key.hpp"

#include <optional>
#include <string_view>
#include <utility>

namespace platform::security::testing {

// Signatures that are almost right, for showing that verification refuses each of them.

// The DER ECDSA-Sig-Value with its outer length in the long form (30 81 LL …), which BER allows.
Bytes ecdsaWithLongFormLength(ByteView derSignature);

// The same r and s as the fixed-size concatenation r || s, each padded to coordinateSize bytes.
Bytes ecdsaAsRawPair(ByteView derSignature, std::size_t coordinateSize);

// An RSA PKCS#1 v1.5 signature over the digest whose DigestInfo names another hash of the same
// length, given by its library name (e.g. "SHA3-256", "SHA512-256").
Bytes rsaSignatureNamingHash(const TestKey& key, std::string_view hashName, ByteView digest);

// A SHA-256 digest and its rsaSignatureDigestPKCS1v15SHA256 signature whose first byte is 00.
// About one signature in 256 has one; this tries digests until it finds it.
std::pair<Bytes, Bytes> rsaSignatureWithLeadingZero(const TestKey& key);

}  // namespace platform::security::testing

#pragma once

#include <string_view>

namespace platform::security {

// A signature algorithm, named by the identifier text the platform uses for it. Two algorithms are
// the same when their texts are equal.
using KeyAlgorithm = std::string_view;

namespace keyAlgorithm {

// The caller supplies a ready digest: EMSA-PKCS1-v1_5 with the DigestInfo of that hash.
inline constexpr KeyAlgorithm rsaSignatureDigestPKCS1v15SHA256 = "algid:sign:RSA:digest-PKCS1v15:SHA256";
inline constexpr KeyAlgorithm rsaSignatureDigestPKCS1v15SHA384 = "algid:sign:RSA:digest-PKCS1v15:SHA384";
inline constexpr KeyAlgorithm rsaSignatureDigestPKCS1v15SHA512 = "algid:sign:RSA:digest-PKCS1v15:SHA512";
// The caller supplies a ready digest (truncated to the order length when longer); the signature is
// a DER ECDSA-Sig-Value.
inline constexpr KeyAlgorithm ecdsaSignatureDigestX962SHA256 = "algid:sign:ECDSA:digest-X962:SHA256";
inline constexpr KeyAlgorithm ecdsaSignatureDigestX962SHA384 = "algid:sign:ECDSA:digest-X962:SHA384";
inline constexpr KeyAlgorithm ecdsaSignatureDigestX962SHA512 = "algid:sign:ECDSA:digest-X962:SHA512";

// The caller supplies the message, which the platform hashes. The system never signs messages;
// these exist so that refusing them can be shown.
inline constexpr KeyAlgorithm rsaSignatureMessagePKCS1v15SHA256 = "algid:sign:RSA:message-PKCS1v15:SHA256";
inline constexpr KeyAlgorithm rsaSignatureMessagePKCS1v15SHA384 = "algid:sign:RSA:message-PKCS1v15:SHA384";
inline constexpr KeyAlgorithm rsaSignatureMessagePKCS1v15SHA512 = "algid:sign:RSA:message-PKCS1v15:SHA512";
inline constexpr KeyAlgorithm ecdsaSignatureMessageX962SHA256 = "algid:sign:ECDSA:message-X962:SHA256";
inline constexpr KeyAlgorithm ecdsaSignatureMessageX962SHA384 = "algid:sign:ECDSA:message-X962:SHA384";
inline constexpr KeyAlgorithm ecdsaSignatureMessageX962SHA512 = "algid:sign:ECDSA:message-X962:SHA512";

}  // namespace keyAlgorithm
}  // namespace platform::security

#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "platform/tokenkit/token_host_service.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What client programs and the token host say to each other over the host's socket. A message is
// a 4-byte big-endian body length followed by the body:
//
//   type u8   request id u64 (the client's; an answer carries the id of its request)
//   requests:  1 list · 2 sign: text key object id, text algorithm id, digest length u8 (≤ 64), digest
//   answers:   129 tokens: count u32, per token text driver id, text instance id, item count u32, per
//                item tag u8 then 1 certificate: text object id, text label, blob DER
//                                   2 key: text object id, text label, blob DER, abilities u8
//                                     (bit 0 sign, 1 decrypt, 2 key exchange, 3 login; no other bits),
//                                     constraint count u8, per constraint operation u8 (0…4, each
//                                     greater than the one before), form u8 (0 false, 1 true, 2 text)
//                                     and for a text the text
//              130 signature: blob · 131 error: code i32, text present u8 (0|1), the text when 1
//   text: u32 length + UTF-8 · blob: u32 length + bytes
//
// A whole message is at most 64 KiB. Decoding is all or nothing: every byte must be consumed and
// every field well-formed, so the host never acts on a request half read, and each message has
// one spelling only.
namespace platform::tokenkit {

// The host's socket, by its name in the user's runtime directory.
inline constexpr std::string_view tokenHostSocketName = "tokenhost";

// The path of the host's socket in the directory.
std::string tokenHostSocketPath(const xpc::RuntimeDirectory& directory);

inline constexpr std::size_t tokenHostMessageHeaderBytes = 4;
inline constexpr std::size_t maxTokenHostMessageBytes = 64 * 1024;
inline constexpr std::size_t maxTokenHostMessageBodyBytes = maxTokenHostMessageBytes - tokenHostMessageHeaderBytes;
// The longest digest of the platform's signature algorithms (SHA-512).
inline constexpr std::size_t maxTokenHostDigestBytes = 64;

struct ListTokensRequest {
  friend bool operator==(const ListTokensRequest&, const ListTokensRequest&) = default;
};

struct SignDigestRequest {
  std::string keyObjectID;
  std::string algorithmID;
  Bytes digest;

  friend bool operator==(const SignDigestRequest&, const SignDigestRequest&) = default;
};

struct TokenHostRequest {
  std::uint64_t requestID = 0;
  std::variant<ListTokensRequest, SignDigestRequest> content;

  friend bool operator==(const TokenHostRequest&, const TokenHostRequest&) = default;
};

struct TokensAnswer {
  std::vector<HostedToken> tokens;

  friend bool operator==(const TokensAnswer&, const TokensAnswer&) = default;
};

struct SignatureAnswer {
  Bytes signature;

  friend bool operator==(const SignatureAnswer&, const SignatureAnswer&) = default;
};

struct TokenHostAnswer {
  std::uint64_t requestID = 0;
  std::variant<TokensAnswer, SignatureAnswer, Error> content;

  friend bool operator==(const TokenHostAnswer&, const TokenHostAnswer&) = default;
};

// The body length a header announces, or none when it is zero or more than a message may hold.
std::optional<std::size_t> tokenHostMessageBodyLength(
    const std::array<std::uint8_t, tokenHostMessageHeaderBytes>& header);

// The message of a body, or none when any byte of it is out of place.
std::optional<TokenHostRequest> decodeTokenHostRequest(ByteView body);
std::optional<TokenHostAnswer> decodeTokenHostAnswer(ByteView body);

// Header and body, or none when the message would be over 64 KiB or a field is out of form (a
// digest over 64 bytes, a text that is not UTF-8, a constraint of an operation the protocol does
// not know).
std::optional<Bytes> encodeTokenHostMessage(const TokenHostRequest& request);
std::optional<Bytes> encodeTokenHostMessage(const TokenHostAnswer& answer);

}  // namespace platform::tokenkit

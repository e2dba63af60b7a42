#pragma once

// The messages between the token host and a token extension it started. The host sends requests,
// each with an identifier of its own choosing; the extension answers each with one reply carrying
// the same identifier and call, in whatever order its calls end. Objects the extension made (tokens,
// sessions, authentication operations) are named by handles the extension hands out.
//
// Each message is one packet of a SOCK_SEQPACKET socket pair, at most 64 KiB. Integers are
// big-endian, a "string" or "bytes" is a u32 length followed by that many bytes:
//
//   u8 direction (1 request, 2 reply)   u64 identifier   u8 call (ExtensionCall)
//   then the call's request or reply fields:
//
//   call                   request                              reply
//   tokenForConfiguration  bytes configuration (*)              result of u64 token
//   terminateToken         u64 token                            nothing
//   createSession          u64 token                            result of u64 session
//   releaseSession         u64 session                          nothing
//   supports               u64 session, i32 operation, key,     result of u8 0|1
//                          string algorithm
//   signData               u64 session, bytes data, key,        result of bytes signature
//                          string algorithm
//   beginAuth              u64 session, i32 operation,          result of u8 kind (0 none, 1 plain,
//                          constraint                           2 password) and, unless none, u64
//                                                               operation
//   finish                 u64 operation, u8 0|1 then string    result of nothing
//                          password when 1
//   releaseOperation       u64 operation                        nothing
//
//   (*) the token configuration in the store's own file encoding (store_format.hpp)
//   key: u8 0 (no value) | 1 then string | 2 then bytes
//   constraint: u8 0 (false) | 1 (true) | 2 then string
//   result of X: u8 0 then the error (i32 code, u8 0|1 then string description when 1) | u8 1 then X
//
// Decoding is all or nothing: every byte consumed, every tag known. Each message has one encoding,
// so a decoded message encodes to the bytes it came from.

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"
#include "platform/tokenkit/token_driver.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace platform::tokenkit {

inline constexpr std::size_t maximumExtensionMessageSize = 64 * 1024;

enum class ExtensionCall : std::uint8_t {
  tokenForConfiguration = 1,
  terminateToken = 2,
  createSession = 3,
  releaseSession = 4,
  supports = 5,
  signData = 6,
  beginAuth = 7,
  finish = 8,
  releaseOperation = 9,
};

// A token, session or operation as the extension serving it numbers it.
using ExtensionObject = std::uint64_t;

namespace extension_request {

struct TokenForConfiguration {
  TokenConfigurationSnapshot configuration;
};
struct TerminateToken {
  ExtensionObject token = 0;
};
struct CreateSession {
  ExtensionObject token = 0;
};
struct ReleaseSession {
  ExtensionObject session = 0;
};
struct Supports {
  ExtensionObject session = 0;
  Operation operation = Operation::none;
  ObjectID key;
  KeyAlgorithm algorithm;
};
struct SignData {
  ExtensionObject session = 0;
  Bytes data;
  ObjectID key;
  KeyAlgorithm algorithm;
};
struct BeginAuth {
  ExtensionObject session = 0;
  Operation operation = Operation::none;
  Constraint constraint;
};
// The password is a secret: whoever holds one of these wipes it once it is handed on.
struct Finish {
  ExtensionObject operation = 0;
  std::optional<std::string> password;
};
struct ReleaseOperation {
  ExtensionObject operation = 0;
};

}  // namespace extension_request

// Alternatives in ExtensionCall order, so that a call's number is its index plus one.
using ExtensionRequestBody =
    std::variant<extension_request::TokenForConfiguration, extension_request::TerminateToken,
                 extension_request::CreateSession, extension_request::ReleaseSession,
                 extension_request::Supports, extension_request::SignData, extension_request::BeginAuth,
                 extension_request::Finish, extension_request::ReleaseOperation>;

struct ExtensionRequest {
  std::uint64_t id = 0;
  ExtensionRequestBody body;

  ExtensionCall call() const { return static_cast<ExtensionCall>(body.index() + 1); }
};

// What beginAuth made: nothing to do, an operation to finish as it is, or one that needs the
// user's password first.
enum class AuthOperationKind : std::uint8_t { none = 0, plain = 1, password = 2 };

struct BegunAuth {
  AuthOperationKind kind = AuthOperationKind::none;
  ExtensionObject operation = 0;  // unless none

  friend bool operator==(const BegunAuth&, const BegunAuth&) = default;
};

// The reply to a call that answers nothing but that it ended.
struct Acknowledged {
  friend bool operator==(const Acknowledged&, const Acknowledged&) = default;
};

using ExtensionReplyBody = std::variant<Result<ExtensionObject>, Acknowledged, Result<bool>,
                                        Result<Bytes>, Result<BegunAuth>, Result<void>>;

struct ExtensionReply {
  std::uint64_t id = 0;
  ExtensionCall call = ExtensionCall::terminateToken;
  ExtensionReplyBody body = Acknowledged{};
};

// Whether the body has the shape that replies to this call carry.
bool replyBodyFits(ExtensionCall call, const ExtensionReplyBody& body);

// None when the message would be larger than maximumExtensionMessageSize, or a configuration
// cannot take the store's encoding; for a reply also when its body does not fit its call.
std::optional<Bytes> encodeExtensionRequest(const ExtensionRequest& request);
std::optional<Bytes> encodeExtensionReply(const ExtensionReply& reply);

std::optional<ExtensionRequest> decodeExtensionRequest(ByteView message);
std::optional<ExtensionReply> decodeExtensionReply(ByteView message);

// Overwrites the buffer where it lies and leaves it empty: for messages that carried a password.
void wipeMessage(Bytes& message) noexcept;

}  // namespace platform::tokenkit

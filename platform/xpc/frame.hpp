#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/xpc/value.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xpc {

// A frame on the wire is a 4-byte big-endian body length followed by the body:
//
//   type u8 (1 call, 2 reply, 3 no reply)   id u64
//   call only: selector length u8 (1...255), selector (printable ASCII)
//   call and reply: value count u8, then per value its kind tag u8 and payload:
//     boolean u8 0|1 · int64 8 bytes big-endian · string u32 length + UTF-8 · bytes u32 length + bytes ·
//     endpoint u16 length + path · optional kinds u8 0|1, then the payload of the plain kind when 1
//
// A whole frame is at most 64 KiB. Decoding is all or nothing: every byte must be consumed and every
// value well-formed, so a frame is never acted on half-read.
inline constexpr std::size_t frameHeaderBytes = 4;
inline constexpr std::size_t maxFrameBytes = 64 * 1024;
inline constexpr std::size_t maxFrameBodyBytes = maxFrameBytes - frameHeaderBytes;

enum class FrameType : std::uint8_t { call = 1, reply = 2, noReply = 3 };

struct Frame {
  FrameType type = FrameType::call;
  std::uint64_t id = 0;
  std::string selector;     // calls only
  std::vector<Kind> kinds;  // as tagged on the wire, one per value
  Values values;

  friend bool operator==(const Frame&, const Frame&) = default;
};

// The body length a header announces, or none when it is zero or more than a frame may hold.
std::optional<std::size_t> frameBodyLength(const std::array<std::uint8_t, frameHeaderBytes>& header);

// The frame of a body, or none when any byte of it is out of place. Endpoints must be socket paths
// directly in runtimeDirectory that fit a socket address.
std::optional<Frame> decodeFrameBody(ByteView body, std::string_view runtimeDirectory);

// Header and body of the frame, or none when it would be over 64 KiB, when a value does not have the
// kind given for it, or a string or selector is not well-formed.
std::optional<Bytes> encodeFrame(const Frame& frame);

// Whether a socket path lies directly in the directory (one plain file name below it) and fits a
// socket address with its terminating NUL.
bool isSocketPathIn(std::string_view path, std::string_view directory);
bool fitsSocketAddress(std::string_view path);

}  // namespace platform::xpc

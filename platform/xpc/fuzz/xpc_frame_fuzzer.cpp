#include "platform/xpc/frame.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The input is a whole frame as a peer would send it. Whatever decodes must carry one kind per
// value, each value of its kind, and encode again to the very bytes: the decoder accepts one
// spelling of each frame only.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace xpc = platform::xpc;
  if (size < xpc::frameHeaderBytes) return 0;
  std::array<std::uint8_t, xpc::frameHeaderBytes> header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = data[i];
  const auto length = xpc::frameBodyLength(header);
  if (!length || *length != size - xpc::frameHeaderBytes) return 0;
  const platform::ByteView body(data + xpc::frameHeaderBytes, *length);
  const auto frame = xpc::decodeFrameBody(body, "/run/user/1000/ro.corvanta.sign");
  if (!frame) return 0;
  if (frame->kinds.size() != frame->values.size()) std::abort();
  for (std::size_t i = 0; i < frame->values.size(); ++i) {
    if (!xpc::valueHasKind(frame->values[i], frame->kinds[i])) std::abort();
  }
  const auto encoded = xpc::encodeFrame(*frame);
  if (!encoded || encoded->size() != size) std::abort();
  for (std::size_t i = 0; i < size; ++i) {
    if ((*encoded)[i] != data[i]) std::abort();
  }
  return 0;
}

#include "platform/tokenkit/extension/extension_message.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The input is one packet as the other side of a host–extension connection would send it. Whatever
// decodes, as a request or as a reply, must encode again to the very bytes (one spelling of each
// message), and a reply must have the shape of its call.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace tokenkit = platform::tokenkit;
  const platform::ByteView message(data, size);
  if (const auto request = tokenkit::decodeExtensionRequest(message)) {
    const auto again = tokenkit::encodeExtensionRequest(*request);
    if (!again || !std::equal(again->begin(), again->end(), message.begin(), message.end())) std::abort();
  }
  if (const auto reply = tokenkit::decodeExtensionReply(message)) {
    if (!tokenkit::replyBodyFits(reply->call, reply->body)) std::abort();
    const auto again = tokenkit::encodeExtensionReply(*reply);
    if (!again || !std::equal(again->begin(), again->end(), message.begin(), message.end())) std::abort();
  }
  return 0;
}

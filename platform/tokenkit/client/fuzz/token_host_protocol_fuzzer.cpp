#include "platform/tokenkit/client/token_host_protocol.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Whatever decodes encodes again to the very bytes it came from: each message has one spelling.
template <class Message>
void checkRoundTrip(const std::optional<Message>& message, const std::uint8_t* data, std::size_t size) {
  if (!message) return;
  const auto encoded = platform::tokenkit::encodeTokenHostMessage(*message);
  if (!encoded || encoded->size() != size || !std::equal(encoded->begin(), encoded->end(), data)) std::abort();
}

}  // namespace

// The input is a whole message as a peer would send it, read both as a client's request (what the
// host decodes) and as the host's answer (what a client decodes).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace tokenkit = platform::tokenkit;
  if (size < tokenkit::tokenHostMessageHeaderBytes) return 0;
  std::array<std::uint8_t, tokenkit::tokenHostMessageHeaderBytes> header{};
  std::copy_n(data, header.size(), header.begin());
  const auto length = tokenkit::tokenHostMessageBodyLength(header);
  if (!length || *length != size - header.size()) return 0;
  const platform::ByteView body(data + header.size(), *length);

  const auto request = tokenkit::decodeTokenHostRequest(body);
  if (request) {
    if (const auto* sign = std::get_if<tokenkit::SignDigestRequest>(&request->content);
        sign && sign->digest.size() > tokenkit::maxTokenHostDigestBytes) {
      std::abort();
    }
  }
  checkRoundTrip(request, data, size);
  checkRoundTrip(tokenkit::decodeTokenHostAnswer(body), data, size);
  return 0;
}

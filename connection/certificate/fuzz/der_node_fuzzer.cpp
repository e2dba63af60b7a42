// Walks arbitrary bytes as nested DER and reads every element as a date. Whatever the
// walk accepts must be exactly what minimal DER would write for it, and every value must lie
// inside the input.
#include "connection/certificate/der_node.hpp"
#include "connection/transport/connection_error.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using corvanta::DERNode;

void appendEncoded(std::vector<std::uint8_t>& out, const DERNode& node) {
  out.push_back(node.tag);
  const std::size_t length = node.value.size();
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else {
    std::uint8_t octets[sizeof(std::size_t)];
    std::size_t count = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
      octets[count++] = static_cast<std::uint8_t>(rest & 0xFF);
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count > 0) {
      out.push_back(octets[--count]);
    }
  }
  out.insert(out.end(), node.value.begin(), node.value.end());
}

void walk(platform::ByteView bytes, int depth) {
  std::vector<DERNode> nodes;
  try {
    nodes = DERNode::elements(bytes);
  } catch (const corvanta::ConnectionError&) {
    return;
  }
  std::vector<std::uint8_t> encoded;
  for (const auto& node : nodes) {
    if (node.value.data() < bytes.data() || node.value.data() + node.value.size() > bytes.data() + bytes.size()) {
      std::abort();
    }
    appendEncoded(encoded, node);
    try {
      const auto date = node.date();
      if (node.tag != 0x17 && node.tag != 0x18) {
        std::abort();
      }
      static_cast<void>(date);
    } catch (const corvanta::ConnectionError&) {
    }
    if (depth < 64) {
      walk(node.value, depth + 1);
    }
  }
  if (!std::equal(encoded.begin(), encoded.end(), bytes.begin(), bytes.end())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  walk(platform::ByteView(data, size), 0);
  return 0;
}

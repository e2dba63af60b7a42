#pragma once

#include "platform/foundation/bytes.hpp"

namespace platform::security::detail {

// True when the bytes are exactly one DER element whose constructed parts, at every depth, are
// made of DER elements with definite, minimally encoded lengths. The library's decoders also take
// indefinite and padded lengths; the platform accepts only DER.
bool isSingleDerElement(ByteView bytes);

}  // namespace platform::security::detail

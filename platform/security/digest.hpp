#pragma once

#include "platform/foundation/bytes.hpp"

namespace platform::security {

Bytes sha256(ByteView data);
Bytes sha384(ByteView data);
Bytes sha512(ByteView data);

}  // namespace platform::security

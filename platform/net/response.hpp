#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/net/header_field.hpp"

namespace platform::net {

// The final answer of the server: never an interim 1xx answer, and any status, redirects included.
struct Response {
  int status = 0;
  HeaderFields headers;
  Bytes body;

  friend bool operator==(const Response&, const Response&) = default;
};

}  // namespace platform::net

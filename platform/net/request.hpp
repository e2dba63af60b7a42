#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/net/header_field.hpp"

#include <boost/url/url.hpp>

#include <chrono>
#include <string>

namespace platform::net {

// One HTTP request as the caller means it. The session adds the fields that belong to the
// connection (Host, Content-Length, Connection) and a User-Agent when the caller gave none.
struct Request {
  std::string method = "GET";
  boost::urls::url url;
  HeaderFields headers;
  Bytes body;
  // The longest wait for the next piece of data; the session's own idle limit applies when it is
  // shorter.
  std::chrono::nanoseconds timeout = std::chrono::seconds(60);

  friend bool operator==(const Request&, const Request&) = default;
};

}  // namespace platform::net

#pragma once

#include "platform/xpc/value.hpp"

#include <string_view>

namespace corvanta {

// The three protocols between app, router and extension. Each has one method whose reply is the
// last argument; the wire carries exactly the kinds listed, nothing else.

// Served by the router's registration service, called by the app: the endpoint of the app's
// anonymous listener; the reply is true when the router stored it, false when another owner
// connection holds the slot.
struct TokenOwnerRegistrationProtocol {
  static constexpr std::string_view registerOwnerSelector = "registerOwner:reply:";
  static platform::xpc::Interface interface();
};

// Served by the router's directory service, called by the extension: the endpoint currently
// registered, or none.
struct TokenEndpointDirectoryProtocol {
  static constexpr std::string_view ownerEndpointSelector = "ownerEndpointWithReply:";
  static platform::xpc::Interface interface();
};

// Served by the app's anonymous listener, called by the extension: the JSON text of a sign
// request and the one-time code as typed; the reply is the signature with status 0, or none with
// a nonzero reply status.
struct TokenSessionOwnerProtocol {
  static constexpr std::string_view signSelector = "sign:oneTimeCode:reply:";
  static platform::xpc::Interface interface();
};

}  // namespace corvanta

#include "token-support/token_protocols.hpp"

#include <string>

namespace corvanta {

using platform::xpc::Interface;
using platform::xpc::Kind;
using platform::xpc::Method;

Interface TokenOwnerRegistrationProtocol::interface() {
  return Interface{{Method{std::string(registerOwnerSelector), {Kind::endpoint}, {Kind::boolean}}}};
}

Interface TokenEndpointDirectoryProtocol::interface() {
  return Interface{{Method{std::string(ownerEndpointSelector), {}, {Kind::optionalEndpoint}}}};
}

Interface TokenSessionOwnerProtocol::interface() {
  return Interface{{Method{std::string(signSelector), {Kind::bytes, Kind::string}, {Kind::optionalBytes, Kind::int64}}}};
}

}  // namespace corvanta

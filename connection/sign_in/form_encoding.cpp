#include "connection/sign_in/form_encoding.hpp"

#include "platform/foundation/form_encoding.hpp"

namespace corvanta {

platform::Bytes FormEncoding::encode(const std::map<std::string, std::string>& fields) {
  return platform::bytesOf(platform::foundation::formURLEncoded(fields));
}

}  // namespace corvanta

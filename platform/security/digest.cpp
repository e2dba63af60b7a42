#include "platform/security/digest.hpp"

#include <openssl/evp.h>

#include <cstdlib>

namespace platform::security {
namespace {

Bytes digest(ByteView data, const EVP_MD* md) {
  Bytes output(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), output.data(), &length, md, nullptr) != 1 || length != output.size()) {
    // Hashing in memory fails only when the library itself is broken; no caller could go on.
    std::abort();
  }
  return output;
}

}  // namespace

Bytes sha256(ByteView data) { return digest(data, EVP_sha256()); }
Bytes sha384(ByteView data) { return digest(data, EVP_sha384()); }
Bytes sha512(ByteView data) { return digest(data, EVP_sha512()); }

}  // namespace platform::security

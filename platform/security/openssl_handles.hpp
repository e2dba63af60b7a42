#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include <memory>

namespace platform::security::detail {

// Owners of the library objects the layer makes for one call and frees before returning.
template <typename T, void (*Free)(T*)>
struct FreeWith {
  void operator()(T* object) const noexcept { Free(object); }
};

using PkeyContextPointer = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BignumPointer = std::unique_ptr<BIGNUM, FreeWith<BIGNUM, BN_free>>;
using ParamBuilderPointer = std::unique_ptr<OSSL_PARAM_BLD, FreeWith<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamsPointer = std::unique_ptr<OSSL_PARAM, FreeWith<OSSL_PARAM, OSSL_PARAM_free>>;

// A buffer the library allocated for its output, such as an i2d encoding.
struct OpenSSLFree {
  void operator()(unsigned char* bytes) const noexcept { OPENSSL_free(bytes); }
};
using OpenSSLBufferPointer = std::unique_ptr<unsigned char, OpenSSLFree>;

// Removes what the library put on this thread's error queue during one call of the layer, so that
// a refused input leaves nothing behind for the next caller to trip over.
class ErrorQueueScope {
public:
  ErrorQueueScope() { ERR_set_mark(); }
  ~ErrorQueueScope() { ERR_pop_to_mark(); }
  ErrorQueueScope(const ErrorQueueScope&) = delete;
  ErrorQueueScope& operator=(const ErrorQueueScope&) = delete;
};

}  // namespace platform::security::detail

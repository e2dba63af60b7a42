// Reads arbitrary bytes as the two kinds of JSON that reach the token bridge from another process:
// configuration data as a token identity, and a sign request. A refusal is the expected outcome
// for almost every input; any other escaping error, a crash, a leak or a sanitizer report is a
// fault. What is accepted must come back unchanged through its own JSON.
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "sign-core/signing_error.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_sign_request.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

using platform::ByteView;

// A fixed date inside the validity of the seed certificates, so that a run does not depend on
// the day it is made.
const auto fuzzDate = std::chrono::sys_days{std::chrono::year{2031} / 6 / 15};

void decodeIdentity(ByteView bytes) {
  try {
    const auto identity = corvanta::TokenIdentity::decode(bytes, fuzzDate);
    if (identity.version() != corvanta::TokenIdentity::currentVersion || identity.instanceID().size() != 64 ||
        !(corvanta::TokenIdentity::decode(identity.encodedJSON(), fuzzDate) == identity)) {
      std::abort();
    }
    if (identity.keychainItems(fuzzDate).size() != 2) std::abort();
  } catch (const platform::foundation::DecodingError&) {
  } catch (const corvanta::TokenFailure& failure) {
    if (!(failure == corvanta::TokenFailure::invalidConfiguration)) std::abort();
  } catch (const corvanta::ConnectionError& error) {
    if (!(error == corvanta::ConnectionError::invalidCertificate)) std::abort();
  }
}

void decodeSignRequest(ByteView bytes) {
  try {
    const auto request = platform::foundation::decodeJSON<corvanta::TokenSignRequest>(bytes);
    if (!(platform::foundation::decodeJSON<corvanta::TokenSignRequest>(request.encodedJSON()) == request)) {
      std::abort();
    }
    const auto algorithm = request.validatedAlgorithm();
    if (algorithm.rawValue() != request.algorithmName ||
        request.digest.size() != static_cast<std::size_t>(algorithm.digestByteCount())) {
      std::abort();
    }
  } catch (const platform::foundation::DecodingError&) {
  } catch (const corvanta::TokenFailure& failure) {
    if (!(failure == corvanta::TokenFailure::invalidInput)) std::abort();
  } catch (const corvanta::SigningError& error) {
    if (error.errorCase() != corvanta::SigningError::Case::invalidDigestLength) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  decodeIdentity(bytes);
  decodeSignRequest(bytes);
  return 0;
}

// Certificate bytes come from the service; whatever they hold, reading them and the key they carry
// must end in a key that rebuilds to itself, or in a refusal.
#include "platform/security/certificate.hpp"
#include "platform/security/key.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::security;
  const platform::ByteView bytes(data, size);
  const auto certificate = Certificate::createWithData(bytes);
  auto key = certificate ? certificate->copyKey() : Key::fromSubjectPublicKeyInfo(bytes);
  if (!key) return 0;
  const auto attributes = copyAttributes(*key);
  const auto representation = copyExternalRepresentation(*key);
  if (!attributes || !representation) return 0;
  const auto rebuilt = createKeyWithData(*representation, *attributes);
  if (!rebuilt || copyAttributes(*rebuilt) != attributes || copyExternalRepresentation(*rebuilt) != representation) {
    std::abort();
  }
  return 0;
}

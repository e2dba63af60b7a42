// Reads arbitrary bytes as an executable's code identity, as the layer reads another process's
// file. Refusal is the expected outcome for almost every input; a crash, a leak, a sanitizer
// report or a read outside the input is a fault, and so is a record that the format would not
// write back byte for byte.
#include "platform/codesign/elf_identity_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

// Bounds reads against the input the way the file source does; a read it refuses is one the
// reader must have checked first.
class StrictSource final : public platform::codesign::ElfSource {
public:
  explicit StrictSource(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t offset, std::span<unsigned char> into) const override {
    if (offset > bytes_.size() || into.size() > bytes_.size() - offset) std::abort();
    return bytes_.read(offset, into);
  }

private:
  platform::codesign::ByteSource bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> bytes(data, size);
  const auto identity = platform::codesign::readCodeIdentity(StrictSource(bytes));
  if (identity && identity->record) {
    const auto& record = *identity->record;
    const auto encoded = platform::codesign::record_format::encode(record.identifier, record.teamID);
    if (!encoded || platform::codesign::record_format::decode(*encoded) != record) std::abort();
  }
  return 0;
}

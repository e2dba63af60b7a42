#include "platform/codesign/elf_identity_reader.hpp"

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform::codesign {

namespace {

// Far more than any linker writes for the system's programs, and small enough that a hostile
// header cannot make the reader allocate much.
constexpr std::uint16_t maximumSectionCount = 4096;
constexpr std::uint64_t maximumNameTableSize = 1U << 20;

constexpr unsigned char nativeByteOrder = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;

bool fitsIn(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

bool readChecked(const ElfSource& source, std::uint64_t offset, std::span<unsigned char> into) {
  return fitsIn(offset, into.size(), source.size()) && source.read(offset, into);
}

template <typename Structure>
std::optional<Structure> readStructure(const ElfSource& source, std::uint64_t offset) {
  static_assert(std::is_trivially_copyable_v<Structure>);
  std::array<unsigned char, sizeof(Structure)> bytes{};
  if (!readChecked(source, offset, bytes)) return std::nullopt;
  Structure structure;
  std::memcpy(&structure, bytes.data(), sizeof(Structure));
  return structure;
}

bool isSupportedHeader(const Elf64_Ehdr& header) {
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
         header.e_ident[EI_DATA] == nativeByteOrder && header.e_ident[EI_VERSION] == EV_CURRENT &&
         (header.e_type == ET_EXEC || header.e_type == ET_DYN) && header.e_version == EV_CURRENT &&
         header.e_ehsize == sizeof(Elf64_Ehdr);
}

std::optional<std::vector<Elf64_Shdr>> readSectionTable(const ElfSource& source, const Elf64_Ehdr& header) {
  // A count of zero with a table offset is the extended numbering of very large files, which
  // none of the system's programs needs.
  if (header.e_shnum == 0 || header.e_shnum > maximumSectionCount) return std::nullopt;
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum) return std::nullopt;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  const auto bytes = std::as_writable_bytes(std::span(sections));
  if (!readChecked(source, header.e_shoff,
                   std::span(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()))) {
    return std::nullopt;
  }
  return sections;
}

std::optional<std::vector<char>> readNameTable(const ElfSource& source, const Elf64_Shdr& section) {
  if (section.sh_type != SHT_STRTAB || section.sh_size == 0 || section.sh_size > maximumNameTableSize) {
    return std::nullopt;
  }
  std::vector<char> names(section.sh_size);
  if (!readChecked(source, section.sh_offset,
                   std::span(reinterpret_cast<unsigned char*>(names.data()), names.size()))) {
    return std::nullopt;
  }
  return names;
}

// A name must end inside the table; one that runs off its end makes the whole table suspect.
std::optional<std::string_view> sectionName(const std::vector<char>& names, std::uint32_t offset) {
  if (offset >= names.size()) return std::nullopt;
  const auto begin = names.begin() + offset;
  const auto end = std::find(begin, names.end(), '\0');
  if (end == names.end()) return std::nullopt;
  return std::string_view(&*begin, static_cast<std::size_t>(end - begin));
}

std::optional<CodeIdentity> readRecord(const ElfSource& source, const Elf64_Shdr& section) {
  if (section.sh_type != SHT_PROGBITS || section.sh_size != record_format::size) return std::nullopt;
  record_format::Bytes bytes{};
  if (!readChecked(source, section.sh_offset, bytes)) return std::nullopt;
  auto record = record_format::decode(bytes);
  if (!record) return std::nullopt;
  return CodeIdentity{std::move(*record)};
}

}  // namespace

bool ByteSource::read(std::uint64_t offset, std::span<unsigned char> into) const {
  if (!fitsIn(offset, into.size(), bytes_.size())) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
  return true;
}

FileSource::FileSource(int descriptor) : descriptor_(descriptor) {
  struct stat status {};
  if (::fstat(descriptor_, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    size_ = static_cast<std::uint64_t>(status.st_size);
  }
}

bool FileSource::read(std::uint64_t offset, std::span<unsigned char> into) const {
  if (!fitsIn(offset, into.size(), size_)) return false;
  std::size_t done = 0;
  while (done < into.size()) {
    const auto count = ::pread(descriptor_, into.data() + done, into.size() - done,
                               static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

std::optional<CodeIdentity> readCodeIdentity(const ElfSource& source) {
  const auto header = readStructure<Elf64_Ehdr>(source, 0);
  if (!header || !isSupportedHeader(*header)) return std::nullopt;
  // A program stripped of its whole section table cannot hold a record.
  if (header->e_shnum == 0 && header->e_shoff == 0) return CodeIdentity{};
  const auto sections = readSectionTable(source, *header);
  if (!sections) return std::nullopt;
  const auto names = readNameTable(source, (*sections)[header->e_shstrndx]);
  if (!names) return std::nullopt;

  const Elf64_Shdr* recordSection = nullptr;
  for (const auto& section : *sections) {
    const auto name = sectionName(*names, section.sh_name);
    if (!name) return std::nullopt;
    if (*name != record_format::sectionName) continue;
    // A second record section could make two readers disagree about which one counts.
    if (recordSection != nullptr) return std::nullopt;
    recordSection = &section;
  }
  if (recordSection == nullptr) return CodeIdentity{};
  return readRecord(source, *recordSection);
}

}  // namespace platform::codesign

#pragma once

#include "platform/codesign/identity_record_format.hpp"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace platform::codesign::testing {

// A minimal 64-bit executable image of this machine's byte order, laid out as
// header | section contents | name table | section table, whose header and section headers a
// test may change before it takes the bytes.
class ElfImage {
public:
  struct Section {
    std::string name;
    std::uint32_t type = SHT_PROGBITS;
    std::vector<unsigned char> contents;
  };

  explicit ElfImage(const std::vector<Section>& sections) {
    bytes_.resize(sizeof(Elf64_Ehdr));
    sectionHeaders_.push_back(Elf64_Shdr{});  // the null section every table starts with
    std::string names(1, '\0');
    for (const auto& section : sections) {
      Elf64_Shdr header{};
      header.sh_name = static_cast<std::uint32_t>(names.size());
      header.sh_type = section.type;
      header.sh_offset = bytes_.size();
      header.sh_size = section.contents.size();
      names += section.name + '\0';
      bytes_.insert(bytes_.end(), section.contents.begin(), section.contents.end());
      sectionHeaders_.push_back(header);
    }
    Elf64_Shdr nameTable{};
    nameTable.sh_name = static_cast<std::uint32_t>(names.size());
    names += std::string(".shstrtab") + '\0';
    nameTable.sh_type = SHT_STRTAB;
    nameTable.sh_offset = bytes_.size();
    nameTable.sh_size = names.size();
    bytes_.insert(bytes_.end(), names.begin(), names.end());
    sectionHeaders_.push_back(nameTable);
    bytes_.resize((bytes_.size() + 7) / 8 * 8);

    std::memcpy(header_.e_ident, ELFMAG, SELFMAG);
    header_.e_ident[EI_CLASS] = ELFCLASS64;
    header_.e_ident[EI_DATA] = ELFDATA2LSB;
    header_.e_ident[EI_VERSION] = EV_CURRENT;
    header_.e_type = ET_DYN;
    header_.e_machine = EM_X86_64;
    header_.e_version = EV_CURRENT;
    header_.e_ehsize = sizeof(Elf64_Ehdr);
    header_.e_shoff = bytes_.size();
    header_.e_shentsize = sizeof(Elf64_Shdr);
    header_.e_shnum = static_cast<std::uint16_t>(sectionHeaders_.size());
    header_.e_shstrndx = static_cast<std::uint16_t>(sectionHeaders_.size() - 1);
  }

  Elf64_Ehdr& header() { return header_; }
  // Index 0 is the null section, then the sections in the order given, then the name table.
  Elf64_Shdr& section(std::size_t index) { return sectionHeaders_.at(index); }
  std::size_t nameTableIndex() const { return sectionHeaders_.size() - 1; }

  std::vector<unsigned char> bytes() const {
    auto image = bytes_;
    std::memcpy(image.data(), &header_, sizeof header_);
    const auto table = reinterpret_cast<const unsigned char*>(sectionHeaders_.data());
    image.insert(image.end(), table, table + sectionHeaders_.size() * sizeof(Elf64_Shdr));
    return image;
  }

private:
  Elf64_Ehdr header_{};
  std::vector<Elf64_Shdr> sectionHeaders_;
  std::vector<unsigned char> bytes_;
};

inline std::vector<unsigned char> recordBytes(std::string_view identifier, std::string_view teamID) {
  const auto record = record_format::encode(identifier, teamID).value();
  return {record.begin(), record.end()};
}

}  // namespace platform::codesign::testing

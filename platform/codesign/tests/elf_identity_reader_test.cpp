#include "platform/codesign/elf_identity_reader.hpp"

#include "platform/codesign/tests/elf_image.hpp"
#include "platform/codesign/tests/print_identity.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace platform::codesign {
namespace {

using testing::ElfImage;
using testing::recordBytes;

const IdentityRecord peerRecord{"ro.corvanta.sign.test.Peer", "PEERTEAM01"};

// A program image with ordinary sections around the record, so that the reader has to find it.
ElfImage imageWithRecord() {
  return ElfImage({{".text", SHT_PROGBITS, std::vector<unsigned char>(40, 0xC3)},
                   {std::string(record_format::sectionName), SHT_PROGBITS,
                    recordBytes(peerRecord.identifier, peerRecord.teamID)},
                   {".data", SHT_PROGBITS, std::vector<unsigned char>(16, 0x01)}});
}
constexpr std::size_t recordIndex = 2;

std::optional<CodeIdentity> readImage(const std::vector<unsigned char>& bytes) {
  return readCodeIdentity(ByteSource(bytes));
}

TEST(ElfIdentityReader, FindsTheRecordAmongTheSections) {
  EXPECT_EQ(readImage(imageWithRecord().bytes()), CodeIdentity{peerRecord});
}

TEST(ElfIdentityReader, AnExecutableWithoutRecordIsUnsigned) {
  ElfImage withoutRecord({{".text", SHT_PROGBITS, std::vector<unsigned char>(40, 0xC3)}});
  EXPECT_EQ(readImage(withoutRecord.bytes()), CodeIdentity{});

  // A stripped program with no section table at all.
  ElfImage stripped({});
  stripped.header().e_shoff = 0;
  stripped.header().e_shnum = 0;
  stripped.header().e_shstrndx = 0;
  EXPECT_EQ(readImage(stripped.bytes()), CodeIdentity{});
}

// Every cut of the file loses part of the section table, which lies at its end.
TEST(ElfIdentityReader, EveryTruncationIsRefused) {
  const auto bytes = imageWithRecord().bytes();
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(readImage(cut), std::nullopt) << "cut to " << length << " bytes";
  }
}

struct Malformation {
  const char* name;
  std::function<void(ElfImage&)> change;
};

constexpr auto huge = std::numeric_limits<std::uint64_t>::max();

class ElfIdentityReaderMalformed : public ::testing::TestWithParam<Malformation> {};

TEST_P(ElfIdentityReaderMalformed, GivesNoIdentity) {
  auto image = imageWithRecord();
  GetParam().change(image);
  EXPECT_EQ(readImage(image.bytes()), std::nullopt);
}

// Each change alone turns the valid image above into one the reader must refuse.
INSTANTIATE_TEST_SUITE_P(
    Cases, ElfIdentityReaderMalformed,
    ::testing::Values(
        Malformation{"NotElf", [](ElfImage& image) { image.header().e_ident[EI_MAG1] = 'X'; }},
        Malformation{"ThirtyTwoBit", [](ElfImage& image) { image.header().e_ident[EI_CLASS] = ELFCLASS32; }},
        Malformation{"OtherByteOrder", [](ElfImage& image) { image.header().e_ident[EI_DATA] = ELFDATA2MSB; }},
        Malformation{"ObjectFile", [](ElfImage& image) { image.header().e_type = ET_REL; }},
        Malformation{"HeaderSize", [](ElfImage& image) { image.header().e_ehsize = 52; }},
        Malformation{"TableOffsetHuge", [](ElfImage& image) { image.header().e_shoff = huge - 8; }},
        Malformation{"TableOffsetPastEnd", [](ElfImage& image) { image.header().e_shoff += 1; }},
        Malformation{"SectionCountHuge", [](ElfImage& image) { image.header().e_shnum = 0xFFFF; }},
        Malformation{"SectionCountPastEnd", [](ElfImage& image) { ++image.header().e_shnum; }},
        Malformation{"ExtendedNumbering", [](ElfImage& image) { image.header().e_shnum = 0; }},
        Malformation{"EntrySize", [](ElfImage& image) { image.header().e_shentsize = sizeof(Elf64_Shdr) + 8; }},
        Malformation{"NameTableIndexOutside",
                     [](ElfImage& image) { image.header().e_shstrndx = image.header().e_shnum; }},
        Malformation{"NameTableIndexExtended", [](ElfImage& image) { image.header().e_shstrndx = SHN_XINDEX; }},
        Malformation{"NameTableNotStrings",
                     [](ElfImage& image) { image.section(image.nameTableIndex()).sh_type = SHT_PROGBITS; }},
        Malformation{"NameTableOffsetHuge",
                     [](ElfImage& image) { image.section(image.nameTableIndex()).sh_offset = huge; }},
        Malformation{"NameTableSizeHuge",
                     [](ElfImage& image) { image.section(image.nameTableIndex()).sh_size = huge; }},
        Malformation{"NameTableUnterminated",
                     [](ElfImage& image) { --image.section(image.nameTableIndex()).sh_size; }},
        Malformation{"NameOffsetOutside", [](ElfImage& image) { image.section(1).sh_name = 0x7FFFFFFF; }},
        Malformation{"RecordOffsetHuge", [](ElfImage& image) { image.section(recordIndex).sh_offset = huge - 16; }},
        Malformation{"RecordOffsetPastEnd",
                     [](ElfImage& image) { image.section(recordIndex).sh_offset = image.header().e_shoff + 1000; }},
        Malformation{"RecordShort", [](ElfImage& image) { --image.section(recordIndex).sh_size; }},
        Malformation{"RecordLong", [](ElfImage& image) { ++image.section(recordIndex).sh_size; }},
        Malformation{"RecordWithoutBytes", [](ElfImage& image) { image.section(recordIndex).sh_type = SHT_NOBITS; }},
        // The .text section's own bytes, of the right size, in place of the record.
        Malformation{"FakeRecordContents",
                     [](ElfImage& image) { image.section(recordIndex).sh_offset = image.section(1).sh_offset; }},
        Malformation{"SecondRecordSection",
                     [](ElfImage& image) { image.section(3).sh_name = image.section(recordIndex).sh_name; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ElfIdentityReader, ReadsAnExecutableFileButNoOtherKindOfDescriptor) {
  const auto bytes = imageWithRecord().bytes();
  char pattern[] = "/tmp/codesign-elf-XXXXXX";
  const int file = ::mkostemp(pattern, O_CLOEXEC);
  ASSERT_GE(file, 0);
  ::unlink(pattern);
  ASSERT_EQ(::write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(readCodeIdentity(FileSource(file)), CodeIdentity{peerRecord});
  ::close(file);

  // A pipe has no size to check offsets against, so nothing is read from it.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(readCodeIdentity(FileSource(ends[0])), std::nullopt);
  ::close(ends[0]);
  ::close(ends[1]);
}

}  // namespace
}  // namespace platform::codesign

#include "platform/foundation/binary_fields.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace platform::foundation {
namespace {

// One read from the front of an input, reduced to what it gave (or nothing) for comparison.
using Read = std::function<std::optional<Bytes>(BinaryFieldReader&)>;

template <typename Integer>
std::optional<Bytes> bigEndian(const std::optional<Integer>& value, std::size_t width) {
  if (!value) return std::nullopt;
  Bytes bytes;
  for (std::size_t i = width; i > 0; --i) bytes.push_back(static_cast<std::uint8_t>(*value >> (8 * (i - 1))));
  return bytes;
}

std::optional<Bytes> owned(const std::optional<ByteView>& view) {
  if (!view) return std::nullopt;
  return Bytes(view->begin(), view->end());
}

const Read readU8 = [](BinaryFieldReader& r) { return bigEndian(r.u8(), 1); };
const Read readU16 = [](BinaryFieldReader& r) { return bigEndian(r.u16(), 2); };
const Read readU32 = [](BinaryFieldReader& r) { return bigEndian(r.u32(), 4); };
const Read readU64 = [](BinaryFieldReader& r) { return bigEndian(r.u64(), 8); };
const Read readFlag = [](BinaryFieldReader& r) -> std::optional<Bytes> {
  const auto value = r.flag();
  if (!value) return std::nullopt;
  return Bytes{static_cast<std::uint8_t>(*value ? 1 : 0)};
};
const Read takeThree = [](BinaryFieldReader& r) { return owned(r.take(3)); };
const Read oneByteField = [](BinaryFieldReader& r) { return owned(r.field(LengthPrefix::oneByte)); };
const Read twoByteField = [](BinaryFieldReader& r) { return owned(r.field(LengthPrefix::twoBytes)); };
const Read fourByteField = [](BinaryFieldReader& r) { return r.bytesField(); };
const Read textField = [](BinaryFieldReader& r) -> std::optional<Bytes> {
  const auto text = r.textField(LengthPrefix::oneByte);
  if (!text) return std::nullopt;
  return bytesOf(*text);
};

struct ReadCase {
  const char* name;
  Bytes input;
  const Read* read;
  std::optional<Bytes> expected;
  bool atEndAfter;
};

TEST(BinaryFieldReader, EveryReadChecksWhatIsLeft) {
  const std::vector<ReadCase> cases{
      {"u8 of nothing", {}, &readU8, std::nullopt, false},
      {"u8 exactly", {0xAB}, &readU8, Bytes{0xAB}, true},
      {"u16 one short", {0x01}, &readU16, std::nullopt, false},
      {"u16 exactly", {0x12, 0x34}, &readU16, Bytes{0x12, 0x34}, true},
      {"u32 one short", {1, 2, 3}, &readU32, std::nullopt, false},
      {"u32 exactly", {0xDE, 0xAD, 0xBE, 0xEF}, &readU32, Bytes{0xDE, 0xAD, 0xBE, 0xEF}, true},
      {"u32 with more behind", {0, 0, 0, 7, 9}, &readU32, Bytes{0, 0, 0, 7}, false},
      {"u64 one short", {1, 2, 3, 4, 5, 6, 7}, &readU64, std::nullopt, false},
      {"u64 exactly", {0x80, 0, 0, 0, 0, 0, 0, 1}, &readU64, Bytes{0x80, 0, 0, 0, 0, 0, 0, 1}, true},
      {"flag zero", {0}, &readFlag, Bytes{0}, true},
      {"flag one", {1}, &readFlag, Bytes{1}, true},
      {"flag two is no flag", {2}, &readFlag, std::nullopt, false},
      {"take more than is left", {1, 2}, &takeThree, std::nullopt, false},
      {"take exactly what is left", {1, 2, 3}, &takeThree, Bytes{1, 2, 3}, true},
      {"empty field", {0}, &oneByteField, Bytes{}, true},
      {"one-byte field to the end", {2, 'h', 'i'}, &oneByteField, bytesOf("hi"), true},
      {"one-byte field longer than what is left", {3, 'h', 'i'}, &oneByteField, std::nullopt, false},
      {"two-byte field to the end", {0, 1, 7}, &twoByteField, Bytes{7}, true},
      {"two-byte length cut short", {0}, &twoByteField, std::nullopt, false},
      {"two-byte field longer than what is left", {0x01, 0x00, 7}, &twoByteField, std::nullopt, false},
      {"four-byte field to the end", {0, 0, 0, 2, 5, 6}, &fourByteField, Bytes{5, 6}, true},
      {"four-byte field with more behind", {0, 0, 0, 1, 5, 6}, &fourByteField, Bytes{5}, false},
      // A length near 4 GiB must fail on what is left, not try to allocate it.
      {"four-byte length past the input", {0xFF, 0xFF, 0xFF, 0xFF, 1}, &fourByteField, std::nullopt, false},
      {"four-byte length cut short", {0, 0, 0}, &fourByteField, std::nullopt, false},
      {"text field as it is", {3, 'a', 0, 'b'}, &textField, Bytes{'a', 0, 'b'}, true},
  };
  for (const auto& c : cases) {
    BinaryFieldReader reader(c.input);
    EXPECT_EQ((*c.read)(reader), c.expected) << c.name;
    EXPECT_EQ(reader.failed(), !c.expected.has_value()) << c.name;
    EXPECT_EQ(reader.atEnd(), c.atEndAfter) << c.name;
  }
}

TEST(BinaryFieldReader, AFailedReadMakesEveryLaterReadFail) {
  // Four bytes are left after the field's length fails; without the failure sticking, the u32
  // would read them.
  const Bytes input{0, 0, 0, 9, 1, 2, 3, 4};
  BinaryFieldReader reader(input);
  EXPECT_FALSE(reader.field().has_value());
  EXPECT_FALSE(reader.u32().has_value());
  EXPECT_FALSE(reader.u8().has_value());
  EXPECT_FALSE(reader.take(0).has_value());
  EXPECT_TRUE(reader.failed());
  EXPECT_FALSE(reader.atEnd());

  // A rejected flag consumed its byte, and the reader stays failed however much follows.
  const Bytes flagged{7, 0};
  BinaryFieldReader flags(flagged);
  EXPECT_FALSE(flags.flag().has_value());
  EXPECT_FALSE(flags.flag().has_value());
}

TEST(BinaryFieldReader, ReadsSignedAsTwosComplement) {
  const Bytes input{0xFF, 0xFF, 0xFF, 0xFE, 0x7F, 0xFF, 0xFF, 0xFF};
  BinaryFieldReader reader(input);
  EXPECT_EQ(reader.i32(), -2);
  EXPECT_EQ(reader.i32(), 2147483647);
  EXPECT_TRUE(reader.atEnd());
}

TEST(BinaryFieldWriter, WritesBigEndianThatReadsBack) {
  BinaryFieldWriter writer;
  writer.u8(0x01);
  writer.u16(0x0203);
  writer.u32(0x04050607);
  writer.u64(0x08090A0B0C0D0E0FULL);
  writer.i32(-1);
  writer.flag(true);
  writer.field(std::string_view("ab"), LengthPrefix::oneByte);
  writer.field(Bytes{9}, LengthPrefix::twoBytes);
  writer.field(Bytes{});
  writer.count(3);
  writer.raw(Bytes{0xEE});
  const auto bytes = std::move(writer).finished();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*bytes, (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
                           0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 2,    'a',  'b',  0,    1,    9,    0,    0,
                           0,    0,    0,    0,    0,    3,    0xEE}));
}

struct FieldLimitCase {
  const char* name;
  std::size_t longestField;
  std::size_t fieldSize;
  LengthPrefix prefix;
  bool fits;
};

TEST(BinaryFieldWriter, AFieldTooLongForItsPrefixOrTheFormatFailsTheEncoding) {
  const std::vector<FieldLimitCase> cases{
      {"255 in one byte", 1000, 255, LengthPrefix::oneByte, true},
      {"256 in one byte", 1000, 256, LengthPrefix::oneByte, false},
      {"65535 in two bytes", 70000, 65535, LengthPrefix::twoBytes, true},
      {"65536 in two bytes", 70000, 65536, LengthPrefix::twoBytes, false},
      {"at the format's limit", 10, 10, LengthPrefix::fourBytes, true},
      {"past the format's limit", 10, 11, LengthPrefix::fourBytes, false},
  };
  for (const auto& c : cases) {
    BinaryFieldWriter writer(c.longestField);
    writer.field(Bytes(c.fieldSize, 0x5A), c.prefix);
    // What follows a refused field does not rescue the encoding.
    writer.u8(1);
    EXPECT_EQ(writer.failed(), !c.fits) << c.name;
    const auto bytes = std::move(writer).finished();
    ASSERT_EQ(bytes.has_value(), c.fits) << c.name;
    if (!bytes) continue;
    BinaryFieldReader reader(*bytes);
    EXPECT_EQ(reader.bytesField(c.prefix), Bytes(c.fieldSize, 0x5A)) << c.name;
    EXPECT_EQ(reader.u8(), 1) << c.name;
    EXPECT_TRUE(reader.atEnd()) << c.name;
  }
}

TEST(BinaryFieldWriter, CountsAndFailuresSpoilTheWholeEncoding) {
  BinaryFieldWriter tooMany;
  tooMany.count(256, LengthPrefix::oneByte);
  EXPECT_FALSE(std::move(tooMany).finished().has_value());

  BinaryFieldWriter failed;
  failed.u32(7);
  failed.fail();
  EXPECT_FALSE(std::move(failed).finished().has_value());

  // A caller that must wipe a failed encoding still gets its bytes.
  BinaryFieldWriter secret;
  secret.field(std::string_view("pin"), LengthPrefix::oneByte);
  secret.fail();
  EXPECT_EQ(std::move(secret).takeBytes(), (Bytes{3, 'p', 'i', 'n'}));
}

TEST(BinaryFieldWriter, FillsInTheLengthOfWhatFollowsItsPlaceholder) {
  BinaryFieldWriter writer;
  writer.u8(0xAA);
  const auto placeholder = writer.lengthPlaceholder(LengthPrefix::twoBytes);
  writer.raw(Bytes(300, 1));
  writer.fillLength(placeholder, LengthPrefix::twoBytes);
  const auto bytes = std::move(writer).finished();
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size(), 303U);
  EXPECT_EQ((*bytes)[1], 0x01);
  EXPECT_EQ((*bytes)[2], 0x2C);

  BinaryFieldWriter overflowing;
  const auto tooShort = overflowing.lengthPlaceholder(LengthPrefix::oneByte);
  overflowing.raw(Bytes(256, 1));
  overflowing.fillLength(tooShort, LengthPrefix::oneByte);
  EXPECT_FALSE(std::move(overflowing).finished().has_value());
}

}  // namespace
}  // namespace platform::foundation

#include "platform/security/der_structure.hpp"

#include <gtest/gtest.h>

#include <string>

namespace platform::security::detail {
namespace {

Bytes withLength(std::uint8_t tag, std::size_t length, std::uint8_t filler = 0x05) {
  Bytes bytes{tag};
  if (length < 0x80) {
    bytes.push_back(static_cast<std::uint8_t>(length));
  } else if (length < 0x100) {
    bytes.insert(bytes.end(), {0x81, static_cast<std::uint8_t>(length)});
  } else {
    bytes.insert(bytes.end(), {0x82, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
  }
  bytes.insert(bytes.end(), length, filler);
  return bytes;
}

TEST(DerStructure, AcceptsDefiniteMinimalLengthsAtEveryDepth) {
  struct Case {
    std::string name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty sequence", {0x30, 0x00}},
      {"nested", {0x30, 0x08, 0x02, 0x01, 0x05, 0x30, 0x03, 0x04, 0x01, 0xFF}},
      {"context tag around an integer", {0xA0, 0x03, 0x02, 0x01, 0x02}},
      {"long form at 128", withLength(0x04, 128)},
      {"long form at 256", withLength(0x04, 256)},
      {"high tag number", {0x9F, 0x81, 0x00, 0x01, 0x00}},
      // Primitive content is opaque: an octet string may hold anything.
      {"primitive holding non-DER", {0x04, 0x02, 0x30, 0x80}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(isSingleDerElement(c.bytes));
  }
}

TEST(DerStructure, RefusesWhatOnlyBerAllows) {
  auto padded128 = withLength(0x04, 5);
  padded128.erase(padded128.begin() + 1);
  padded128.insert(padded128.begin() + 1, {0x81, 0x05});
  struct Case {
    std::string name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"tag only", {0x30}},
      {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00}},
      {"long form for a short length", padded128},
      {"length with a leading zero byte", {0x04, 0x82, 0x00, 0x01, 0x00}},
      {"length beyond the data", {0x04, 0x03, 0x00, 0x00}},
      {"trailing byte", {0x30, 0x00, 0x00}},
      {"two elements", {0x02, 0x01, 0x05, 0x02, 0x01, 0x05}},
      {"bad element inside", {0x30, 0x04, 0x04, 0x81, 0x01, 0x00}},
      {"inside runs past its parent", {0x30, 0x03, 0x04, 0x02, 0x00, 0x00}},
      {"padded high tag number", {0x9F, 0x80, 0x01, 0x00}},
      {"high tag number cut short", {0x9F, 0x81}},
      {"five-byte length", {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(isSingleDerElement(c.bytes));
  }
}

TEST(DerStructure, RefusesNestingBeyondItsDepthWithoutRecursingForever) {
  Bytes deep;
  for (int i = 0; i < 100; ++i) {
    Bytes outer{0x30};
    if (deep.size() < 0x80) {
      outer.push_back(static_cast<std::uint8_t>(deep.size()));
    } else {
      outer.insert(outer.end(), {0x81, static_cast<std::uint8_t>(deep.size())});
    }
    outer.insert(outer.end(), deep.begin(), deep.end());
    deep = outer;
    if (deep.size() > 200) break;
  }
  EXPECT_FALSE(isSingleDerElement(deep));
  EXPECT_TRUE(isSingleDerElement(Bytes{0x30, 0x02, 0x30, 0x00}));
}

}  // namespace
}  // namespace platform::security::detail

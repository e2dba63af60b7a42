#include "connection/certificate/der_node.hpp"

#include "connection/certificate/tests/der_builder.hpp"
#include "connection/certificate/tests/expect_refused.hpp"
#include "connection/transport/connection_error.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using namespace std::chrono;

Bytes repeated(std::size_t count, std::uint8_t octet = 0xAB) { return Bytes(count, octet); }

std::string hex(const Bytes& bytes) { return platform::foundation::uppercaseHex(bytes); }

struct ReadRow {
  const char* name;
  Bytes input;
  // Tag and content length of every element, in order.
  std::vector<std::pair<std::uint8_t, std::size_t>> expected;
};

TEST(DERNodeElements, ReadsShortAndLongLengthsAndWholeIdentifierOctets) {
  const ReadRow rows[] = {
      {"empty input", {}, {}},
      {"zero length", {0x04, 0x00}, {{0x04, 0}}},
      {"longest short form", Bytes{0x04, 0x7F} + repeated(127), {{0x04, 127}}},
      {"shortest one-octet long form", Bytes{0x04, 0x81, 0x80} + repeated(128), {{0x04, 128}}},
      {"one-octet long form", Bytes{0x04, 0x81, 0xFF} + repeated(255), {{0x04, 255}}},
      {"two-octet long form", Bytes{0x04, 0x82, 0x01, 0x00} + repeated(256), {{0x04, 256}}},
      {"three-octet long form", Bytes{0x04, 0x83, 0x01, 0x00, 0x00} + repeated(65536), {{0x04, 65536}}},
      {"elements one after another", {0x02, 0x01, 0x05, 0x30, 0x00, 0x05, 0x00}, {{0x02, 1}, {0x30, 0}, {0x05, 0}}},
      {"context tags keep class and constructed bits", {0xA0, 0x00, 0xA3, 0x00, 0x81, 0x00, 0x82, 0x00},
       {{0xA0, 0}, {0xA3, 0}, {0x81, 0}, {0x82, 0}}},
      {"tag number 30 is still the low-tag form", {0x1E, 0x00, 0x5E, 0x00}, {{0x1E, 0}, {0x5E, 0}}},
  };
  for (const auto& row : rows) {
    const auto nodes = DERNode::elements(row.input);
    ASSERT_EQ(nodes.size(), row.expected.size()) << row.name;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(nodes[i].tag, row.expected[i].first) << row.name;
      EXPECT_EQ(nodes[i].value.size(), row.expected[i].second) << row.name;
    }
  }
}

TEST(DERNodeElements, ValueViewsTheContentOctets) {
  const Bytes input{0x30, 0x06, 0x02, 0x01, 0x07, 0x04, 0x01, 0xEE};
  const auto nodes = DERNode::elements(input);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].value.data(), input.data() + 2);
  const auto children = nodes[0].children();
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0].tag, 0x02);
  EXPECT_EQ(hex(Bytes(children[0].value.begin(), children[0].value.end())), "07");
  EXPECT_EQ(children[1].tag, 0x04);
  EXPECT_EQ(hex(Bytes(children[1].value.begin(), children[1].value.end())), "EE");
}

struct RefusalRow {
  const char* name;
  Bytes input;
};

TEST(DERNodeElements, RefusesEveryOtherLengthAndIdentifierForm) {
  const RefusalRow rows[] = {
      {"a single octet", {0x04}},
      {"a stray octet after an element", {0x04, 0x00, 0x05}},
      {"high-tag form 1F", {0x1F, 0x01, 0x00}},
      {"high-tag form 3F", {0x3F, 0x00}},
      {"high-tag form BF", {0xBF, 0x00}},
      {"high-tag form FF", {0xFF, 0x00}},
      {"indefinite length 80", {0x30, 0x80, 0x04, 0x00, 0x00, 0x00}},
      {"long form for a short length 81 05", Bytes{0x04, 0x81, 0x05} + repeated(5)},
      {"long form for a short length 81 7F", Bytes{0x04, 0x81, 0x7F} + repeated(127)},
      {"leading zero length octet 82 00 80", Bytes{0x04, 0x82, 0x00, 0x80} + repeated(128)},
      {"leading zero length octet 83 00 01 00", Bytes{0x04, 0x83, 0x00, 0x01, 0x00} + repeated(256)},
      {"four length octets", Bytes{0x04, 0x84, 0x00, 0x01, 0x00, 0x00} + repeated(65536)},
      {"127 length octets", {0x04, 0xFF, 0x01}},
      {"length octets missing", {0x04, 0x81}},
      {"length octets cut short", {0x04, 0x82, 0x01}},
      {"content cut short", {0x04, 0x05, 0x01, 0x02}},
      {"long-form content cut short", Bytes{0x04, 0x81, 0x80} + repeated(127)},
      {"a claimed length far beyond the input", {0x04, 0x83, 0xFF, 0xFF, 0xFF, 0x00}},
      {"second element cut short", {0x04, 0x00, 0x04, 0x02, 0x00}},
  };
  for (const auto& row : rows) {
    expectRefused([&] { DERNode::elements(row.input); }, row.name);
  }
}

TEST(DERNodeElements, ChildrenRefuseWhatTheContentDoesNotHold) {
  const Bytes input{0x30, 0x03, 0x04, 0x05, 0x00};
  const auto nodes = DERNode::elements(input);
  ASSERT_EQ(nodes.size(), 1u);
  expectRefused([&] { nodes[0].children(); }, "content that is not one element");
}

sys_seconds at(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0) {
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} + seconds{second};
}

struct DateRow {
  std::uint8_t tag;
  std::string text;
  std::optional<sys_seconds> expected;
};

constexpr std::uint8_t utc = 0x17;
constexpr std::uint8_t generalized = 0x18;

TEST(DERNodeDate, ReadsBothTimeFormsAndThePivotYear) {
  const DateRow rows[] = {
      {utc, "490101000000Z", at(2049, 1, 1)},
      {utc, "491231235959Z", at(2049, 12, 31, 23, 59, 59)},
      {utc, "500101000000Z", at(1950, 1, 1)},
      {utc, "991231235959Z", at(1999, 12, 31, 23, 59, 59)},
      {utc, "000101000000Z", at(2000, 1, 1)},
      {utc, "000229120000Z", at(2000, 2, 29, 12)},
      {utc, "240229000000Z", at(2024, 2, 29)},
      {utc, "230615083012Z", at(2023, 6, 15, 8, 30, 12)},
      {generalized, "20491231235959Z", at(2049, 12, 31, 23, 59, 59)},
      {generalized, "20500101000000Z", at(2050, 1, 1)},
      {generalized, "19491231235959Z", at(1949, 12, 31, 23, 59, 59)},
      {generalized, "99991231235959Z", at(9999, 12, 31, 23, 59, 59)},
      {generalized, "00010101000000Z", at(1, 1, 1)},
      {generalized, "16000229000000Z", at(1600, 2, 29)},
      {generalized, "15821010000000Z", at(1582, 10, 10)},
      {generalized, "21060207062816Z", at(2106, 2, 7, 6, 28, 16)},
  };
  for (const auto& row : rows) {
    const DERNode node{row.tag, platform::ByteView(reinterpret_cast<const std::uint8_t*>(row.text.data()), row.text.size())};
    EXPECT_EQ(node.date(), row.expected) << row.text;
  }
  const auto midnight = DERNode{utc, platform::ByteView(reinterpret_cast<const std::uint8_t*>("250101000000Z"), 13)}.date();
  EXPECT_EQ(midnight.time_since_epoch(), seconds{1735689600});
}

TEST(DERNodeDate, RefusesEveryValueThatIsNotItsOwnStrictForm) {
  const DateRow rows[] = {
      {generalized, "20230230000000Z", {}},
      {generalized, "20230229000000Z", {}},
      {generalized, "19000229000000Z", {}},
      {generalized, "20231301000000Z", {}},
      {generalized, "20230001000000Z", {}},
      {generalized, "20230100000000Z", {}},
      {generalized, "20230431000000Z", {}},
      {generalized, "20230131240000Z", {}},
      {generalized, "20230131236000Z", {}},
      {generalized, "20230131235960Z", {}},
      {generalized, "00000101000000Z", {}},
      {generalized, "20230131235959.5Z", {}},
      {generalized, "20230131235959", {}},
      {generalized, "20230131235959z", {}},
      {generalized, "20230131235959+0200", {}},
      {generalized, "202301312359Z", {}},
      {generalized, "2023013123595Z", {}},
      {generalized, "202301312359590Z", {}},
      {generalized, " 0230131235959Z", {}},
      {generalized, "2023-131235959Z", {}},
      {generalized, "+0230131235959Z", {}},
      {generalized, "2023013123595\xB9Z", {}},
      {generalized, "230131235959Z", {}},
      {utc, "2301312359Z", {}},
      {utc, "230131235959+0200", {}},
      {utc, "230131235959", {}},
      {utc, "230230000000Z", {}},
      {utc, "230131240000Z", {}},
      {utc, "230131235960Z", {}},
      {utc, "20230131235959Z", {}},
      {utc, "Z", {}},
      {utc, "", {}},
      {0x04, "230131235959Z", {}},
      {0x13, "20230131235959Z", {}},
      {0x37, "230131235959Z", {}},
  };
  for (const auto& row : rows) {
    const DERNode node{row.tag, platform::ByteView(reinterpret_cast<const std::uint8_t*>(row.text.data()), row.text.size())};
    expectRefused([&] { node.date(); }, row.text);
  }
}

}  // namespace
}  // namespace corvanta

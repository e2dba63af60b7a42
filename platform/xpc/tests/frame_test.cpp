#include "platform/xpc/frame.hpp"

#include <gtest/gtest.h>

#include <string>

namespace platform::xpc {
namespace {

const std::string directory = "/run/test-dir";

Bytes bodyOf(const Bytes& frame) { return Bytes(frame.begin() + frameHeaderBytes, frame.end()); }

TEST(XPCFrame, EveryKindSurvivesTheWire) {
  const std::vector<Frame> frames = {
      {FrameType::call, 7, "sign:oneTimeCode:reply:",
       {Kind::boolean, Kind::int64, Kind::string, Kind::bytes, Kind::optionalBytes, Kind::optionalBytes,
        Kind::endpoint, Kind::optionalEndpoint, Kind::optionalEndpoint},
       {true, std::int64_t{-2}, std::string("\xC3\xA9t\xC3\xA9"), bytesOf("abc"), std::monostate{}, Bytes{},
        Endpoint{directory + "/a"}, std::monostate{}, Endpoint{directory + "/b"}}},
      {FrameType::reply, 0xFFFFFFFFFFFFFFFF, "", {Kind::int64}, {std::int64_t{INT64_MIN}}},
      {FrameType::reply, 1, "", {}, {}},
      {FrameType::noReply, 3, "", {}, {}},
  };
  for (const Frame& frame : frames) {
    const auto encoded = encodeFrame(frame);
    ASSERT_TRUE(encoded) << frame.selector;
    const std::array<std::uint8_t, 4> header{(*encoded)[0], (*encoded)[1], (*encoded)[2], (*encoded)[3]};
    EXPECT_EQ(frameBodyLength(header), encoded->size() - frameHeaderBytes);
    EXPECT_EQ(decodeFrameBody(bodyOf(*encoded), directory), frame);
  }
}

TEST(XPCFrame, HeaderAnnouncesOnlyNonEmptyBodiesThatFit) {
  EXPECT_EQ(frameBodyLength({0, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(frameBodyLength({0, 0, 0xFF, 0xFC}), std::size_t{0xFFFC});
  EXPECT_EQ(frameBodyLength({0, 0, 0xFF, 0xFD}), std::nullopt);
  EXPECT_EQ(frameBodyLength({0xFF, 0, 0, 1}), std::nullopt);
}

TEST(XPCFrame, EncodingRefusesWhatCouldNotBeDecoded) {
  struct Case {
    const char* name;
    Frame frame;
  };
  const std::vector<Case> cases = {
      {"value of another kind", {FrameType::call, 1, "m:", {Kind::int64}, {true}}},
      {"absent value of a plain kind", {FrameType::call, 1, "m:", {Kind::bytes}, {std::monostate{}}}},
      {"fewer kinds than values", {FrameType::call, 1, "m:", {}, {true}}},
      {"string not UTF-8", {FrameType::reply, 1, "", {Kind::string}, {std::string("\xC0\xAF")}}},
      {"selector with a space", {FrameType::call, 1, "a b", {}, {}}},
      {"empty selector", {FrameType::call, 1, "", {}, {}}},
      {"over 64 KiB", {FrameType::reply, 1, "", {Kind::bytes}, {Bytes(maxFrameBytes, 0)}}},
  };
  for (const Case& c : cases) EXPECT_EQ(encodeFrame(c.frame), std::nullopt) << c.name;
  EXPECT_TRUE(encodeFrame({FrameType::reply, 1, "", {Kind::bytes}, {Bytes(maxFrameBodyBytes - 15, 0)}}));
  EXPECT_FALSE(encodeFrame({FrameType::reply, 1, "", {Kind::bytes}, {Bytes(maxFrameBodyBytes - 14, 0)}}));
}

// A call "m:" with the given value bytes, as a body.
Bytes callBody(const Bytes& values) {
  Bytes body = {1, 0, 0, 0, 0, 0, 0, 0, 9, 2, 'm', ':'};
  body.insert(body.end(), values.begin(), values.end());
  return body;
}

Bytes endpointValue(const std::string& path) {
  Bytes value = {1, 6, static_cast<std::uint8_t>(path.size() >> 8), static_cast<std::uint8_t>(path.size())};
  value.insert(value.end(), path.begin(), path.end());
  return value;
}

TEST(XPCFrame, DecodingRefusesAnyByteOutOfPlace) {
  struct Case {
    const char* name;
    Bytes body;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"unknown frame type", {4, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"id cut short", {2, 0, 0, 0}},
      {"reply without a value count", {2, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"no-reply with trailing byte", {3, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
      {"selector longer than the body", {1, 0, 0, 0, 0, 0, 0, 0, 1, 9, 'm'}},
      {"empty selector", {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"selector with control byte", {1, 0, 0, 0, 0, 0, 0, 0, 1, 2, 'm', '\n', 0}},
      {"value count above values", callBody({2, 1, 1})},
      {"unknown kind tag", callBody({1, 8, 0})},
      {"kind tag zero", callBody({1, 0, 0})},
      {"boolean of 2", callBody({1, 1, 2})},
      {"int64 cut short", callBody({1, 2, 0, 0, 0})},
      {"string length past the end", callBody({1, 3, 0, 0, 0, 5, 'a'})},
      {"string overlong UTF-8", callBody({1, 3, 0, 0, 0, 2, 0xC0, 0xAF})},
      {"string surrogate", callBody({1, 3, 0, 0, 0, 3, 0xED, 0xA0, 0x80})},
      {"optional flag of 2", callBody({1, 5, 2})},
      {"trailing byte after values", callBody({1, 1, 1, 0})},
      {"endpoint relative", callBody(endpointValue("run/test-dir/a"))},
      {"endpoint outside the directory", callBody(endpointValue("/run/test-dirx/a"))},
      {"endpoint the directory itself", callBody(endpointValue(directory + "/"))},
      {"endpoint in a subdirectory", callBody(endpointValue(directory + "/x/a"))},
      {"endpoint climbing out", callBody(endpointValue(directory + "/.."))},
      {"endpoint with NUL", callBody(endpointValue(directory + std::string("/a\0b", 4)))},
      {"endpoint too long for sun_path", callBody(endpointValue(directory + "/" + std::string(108 - 14, 'a')))},
      {"optional endpoint outside", callBody({1, 7, 1, 0, 4, '/', 't', 'm', 'p'})},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeFrameBody(c.body, directory), std::nullopt) << c.name;
  // The same builders make a frame that decodes, so each case above fails for its own fault.
  EXPECT_TRUE(decodeFrameBody(callBody({1, 1, 1}), directory));
  EXPECT_TRUE(decodeFrameBody(callBody(endpointValue(directory + "/" + std::string(107 - 14, 'a'))), directory));
}

TEST(XPCFrame, SocketPathMustLieDirectlyInTheDirectory) {
  EXPECT_TRUE(isSocketPathIn("/d/x", "/d"));
  EXPECT_FALSE(isSocketPathIn("/d/x", "d"));
  EXPECT_FALSE(isSocketPathIn("/d/x/y", "/d"));
  EXPECT_FALSE(isSocketPathIn("/d/.", "/d"));
  EXPECT_FALSE(isSocketPathIn("/dx", "/d"));
  EXPECT_TRUE(fitsSocketAddress(std::string(107, 'a')));
  EXPECT_FALSE(fitsSocketAddress(std::string(108, 'a')));
}

}  // namespace
}  // namespace platform::xpc

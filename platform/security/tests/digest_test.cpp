#include "platform/security/digest.hpp"
#include "platform/security/random.hpp"

#include "platform/foundation/bytes.hpp"

#include <gtest/gtest.h>

#include <array>

namespace platform::security {
namespace {

using foundation::lowercaseHex;

TEST(Digest, KnownAnswersForAbc) {
  const auto abc = bytesOf("abc");
  EXPECT_EQ(lowercaseHex(sha256(abc)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(lowercaseHex(sha384(abc)),
            "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
  EXPECT_EQ(lowercaseHex(sha512(abc)),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
            "454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(lowercaseHex(sha256(Bytes{})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Random, FillsTheWholeBuffer) {
  std::array<std::uint8_t, 64> first{};
  std::array<std::uint8_t, 64> second{};
  ASSERT_TRUE(copyRandomBytes(first));
  ASSERT_TRUE(copyRandomBytes(second));
  EXPECT_NE(first, second);
  EXPECT_TRUE(copyRandomBytes(std::span<std::uint8_t>{}));
}

}  // namespace
}  // namespace platform::security

#include "platform/foundation/form_encoding.hpp"

#include <gtest/gtest.h>

namespace platform::foundation {
namespace {

TEST(FormEncoding, SortsFieldsByKeyAndEncodesSpaceAsPercentTwenty) {
  EXPECT_EQ(formURLEncoded({{"grant_type", "refresh_token"}, {"client_id", "a b"}}),
            "client_id=a%20b&grant_type=refresh_token");
}

TEST(FormEncoding, NoFieldsGiveTheEmptyBody) { EXPECT_EQ(formURLEncoded({}), ""); }

TEST(FormEncoding, EncodesReservedCharactersInKeysAndValues) {
  EXPECT_EQ(formURLEncoded({{"k&=+/ ", "v&=+/ "}}), "k%26%3D%2B%2F%20=v%26%3D%2B%2F%20");
  EXPECT_EQ(formURLEncoded({{"p", "%*?#:@!$'()[],;\"<>\\^`{|}"}}),
            "p=%25%2A%3F%23%3A%40%21%24%27%28%29%5B%5D%2C%3B%22%3C%3E%5C%5E%60%7B%7C%7D");
  EXPECT_EQ(formURLEncoded({{"ctl", std::string("\t\n\r\0\x7F", 5)}}), "ctl=%09%0A%0D%00%7F");
}

TEST(FormEncoding, LeavesTheSixtySixUnreservedCharactersAsTheyAre) {
  const std::string unreserved = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  ASSERT_EQ(unreserved.size(), 66u);
  EXPECT_EQ(percentEncodedUnreserved(unreserved), unreserved);
  EXPECT_EQ(formURLEncoded({{unreserved, unreserved}}), unreserved + "=" + unreserved);
}

TEST(FormEncoding, EncodesEveryUTF8ByteOfNonASCIICharactersInUpperCaseHex) {
  EXPECT_EQ(percentEncodedUnreserved("é"), "%C3%A9");
  EXPECT_EQ(percentEncodedUnreserved("€ ’"), "%E2%82%AC%20%E2%80%99");
  EXPECT_EQ(percentEncodedUnreserved("\xF0\x9F\x94\x91"), "%F0%9F%94%91");
  EXPECT_EQ(formURLEncoded({{"név", "Ștefan"}}), "n%C3%A9v=%C8%98tefan");
}

TEST(FormEncoding, OrdersKeysByteByByte) {
  EXPECT_EQ(formURLEncoded({{"b", "1"}, {"é", "2"}, {"a", "3"}, {"B", "4"}, {"_", "5"}, {"aa", "6"}, {"", "7"}}),
            "=7&B=4&_=5&a=3&aa=6&b=1&%C3%A9=2");
}

TEST(FormEncoding, EncodesTheRedirectAddressForAQuery) {
  EXPECT_EQ(percentEncodedUnreserved("http://localhost:53682/callback"), "http%3A%2F%2Flocalhost%3A53682%2Fcallback");
}

}  // namespace
}  // namespace platform::foundation

#include "sign-core/signing_algorithm.hpp"

#include "sign-core/signing_error.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace corvanta {
namespace {

namespace keyAlgorithm = platform::security::keyAlgorithm;
using KeyKind = SigningAlgorithm::KeyKind;

struct AlgorithmRow {
  SigningAlgorithm algorithm;
  std::string_view rawValue;
  int digestByteCount;
  KeyKind keyKind;
  platform::security::KeyAlgorithm securityAlgorithm;
};

const AlgorithmRow table[] = {
    {SigningAlgorithm::rsaPKCS1SHA256, "rsaPKCS1SHA256", 32, KeyKind::rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256},
    {SigningAlgorithm::rsaPKCS1SHA384, "rsaPKCS1SHA384", 48, KeyKind::rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384},
    {SigningAlgorithm::rsaPKCS1SHA512, "rsaPKCS1SHA512", 64, KeyKind::rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512},
    {SigningAlgorithm::ecdsaSHA256, "ecdsaSHA256", 32, KeyKind::ellipticCurve, keyAlgorithm::ecdsaSignatureDigestX962SHA256},
    {SigningAlgorithm::ecdsaSHA384, "ecdsaSHA384", 48, KeyKind::ellipticCurve, keyAlgorithm::ecdsaSignatureDigestX962SHA384},
    {SigningAlgorithm::ecdsaSHA512, "ecdsaSHA512", 64, KeyKind::ellipticCurve, keyAlgorithm::ecdsaSignatureDigestX962SHA512},
};

TEST(SigningAlgorithm, TableInDeclarationOrder) {
  const auto& all = SigningAlgorithm::allCases();
  ASSERT_EQ(all.size(), std::size(table));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& row = table[i];
    EXPECT_EQ(all[i], row.algorithm) << i;
    EXPECT_EQ(row.algorithm.rawValue(), row.rawValue);
    EXPECT_EQ(row.algorithm.digestByteCount(), row.digestByteCount);
    EXPECT_EQ(row.algorithm.keyKind(), row.keyKind);
    EXPECT_EQ(row.algorithm.securityAlgorithm(), row.securityAlgorithm);
    EXPECT_EQ(SigningAlgorithm::fromRawValue(row.rawValue), row.algorithm);
    EXPECT_EQ(SigningAlgorithm::fromSecurityAlgorithm(row.securityAlgorithm), row.algorithm);
  }
}

TEST(SigningAlgorithm, PlatformAlgorithmsAreDistinctDigestAlgorithms) {
  std::unordered_set<std::string_view> seen;
  for (const auto algorithm : SigningAlgorithm::allCases()) {
    EXPECT_TRUE(seen.insert(algorithm.securityAlgorithm()).second);
    EXPECT_NE(algorithm.securityAlgorithm().find(":digest-"), std::string_view::npos);
  }
}

TEST(SigningAlgorithm, RawValueMatchIsExact) {
  for (const auto* name : {"", "RSAPKCS1SHA256", "rsapkcs1sha256", " ecdsaSHA256", "ecdsaSHA256 ", "ecdsaSHA256\n",
                           "ecdsa", "ecdsaSHA1", "EcdsaSHA384"}) {
    EXPECT_FALSE(SigningAlgorithm::fromRawValue(name).has_value()) << '"' << name << '"';
  }
  EXPECT_FALSE(SigningAlgorithm::fromRawValue(std::string_view("ecdsaSHA256\0", 12)).has_value());
}

TEST(SigningAlgorithm, MessageAndUnknownPlatformAlgorithmsAreUnsupported) {
  for (const auto algorithm :
       {keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, keyAlgorithm::rsaSignatureMessagePKCS1v15SHA384,
        keyAlgorithm::rsaSignatureMessagePKCS1v15SHA512, keyAlgorithm::ecdsaSignatureMessageX962SHA256,
        keyAlgorithm::ecdsaSignatureMessageX962SHA384, keyAlgorithm::ecdsaSignatureMessageX962SHA512,
        platform::security::KeyAlgorithm{""}, platform::security::KeyAlgorithm{"algid:sign:ECDSA:digest-X962:sha256"}}) {
    try {
      SigningAlgorithm::fromSecurityAlgorithm(algorithm);
      ADD_FAILURE() << algorithm;
    } catch (const SigningError& error) {
      EXPECT_EQ(error, SigningError::unsupportedAlgorithm) << algorithm;
    }
  }
}

TEST(SigningAlgorithm, ValidateChecksOnlyTheLength) {
  for (const auto algorithm : SigningAlgorithm::allCases()) {
    for (const std::size_t length : {0, 1, 20, 31, 32, 33, 47, 48, 49, 63, 64, 65, 128}) {
      const platform::Bytes digest(length, 0xAB);
      if (static_cast<int>(length) == algorithm.digestByteCount()) {
        EXPECT_NO_THROW(algorithm.validate(digest));
        continue;
      }
      try {
        algorithm.validate(digest);
        ADD_FAILURE() << algorithm.rawValue() << " accepted " << length;
      } catch (const SigningError& error) {
        EXPECT_EQ(error, SigningError::invalidDigestLength(algorithm.digestByteCount(), static_cast<int>(length)));
      }
    }
  }
}

TEST(SigningAlgorithm, DigestOfAnotherHashNamesBothLengths) {
  try {
    SigningAlgorithm::ecdsaSHA384.validate(platform::Bytes(32));
    FAIL();
  } catch (const SigningError& error) {
    EXPECT_EQ(error.errorCase(), SigningError::Case::invalidDigestLength);
    EXPECT_EQ(error.expected(), 48);
    EXPECT_EQ(error.actual(), 32);
  }
}

TEST(KeyKind, RawValues) {
  EXPECT_EQ(KeyKind::rsa.rawValue(), "rsa");
  EXPECT_EQ(KeyKind::ellipticCurve.rawValue(), "ellipticCurve");
  EXPECT_EQ(KeyKind::fromRawValue("rsa"), KeyKind::rsa);
  EXPECT_EQ(KeyKind::fromRawValue("ellipticCurve"), KeyKind::ellipticCurve);
  for (const auto* name : {"", "RSA", "ec", "EllipticCurve", "rsa "}) {
    EXPECT_FALSE(KeyKind::fromRawValue(name).has_value()) << name;
  }
}

TEST(SigningError, EqualityComparesCaseAndBothLengths) {
  EXPECT_EQ(SigningError::invalidDigestLength(32, 48), SigningError::invalidDigestLength(32, 48));
  EXPECT_NE(SigningError::invalidDigestLength(32, 48), SigningError::invalidDigestLength(32, 47));
  EXPECT_NE(SigningError::invalidDigestLength(32, 48), SigningError::invalidDigestLength(31, 48));
  EXPECT_NE(SigningError::invalidSignature, SigningError::invalidPublicKey);
  EXPECT_EQ(SigningError::notSubmitted, SigningError::notSubmitted);
  EXPECT_STREQ(SigningError::requestExpired.what(), "requestExpired");
}

}  // namespace
}  // namespace corvanta

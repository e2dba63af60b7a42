#include "platform/foundation/bytes.hpp"
#include "sign-core/verification_key.hpp"

#include "platform/security/digest.hpp"
#include "platform/security/key.hpp"
#include "sign-core/signing_error.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// Verification against the Wycheproof vectors kept under third_party/, read when the test runs.
namespace corvanta {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using platform::Bytes;

const fs::path vectorFolder = fs::path(CORVANTA_WYCHEPROOF_DIR);

std::vector<fs::path> vectorFiles() {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(vectorFolder, error)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

Bytes fromHex(std::string_view hex) {
  auto bytes = platform::foundation::hexDecoded(hex);
  if (!bytes) throw std::runtime_error("not hex: " + std::string(hex.substr(0, 16)));
  return std::move(*bytes);
}

json::value readJson(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return json::parse(text.str());
}

std::string_view text(const json::value& value, std::string_view key) {
  return value.as_object().at(key).as_string();
}

// The algorithm of a group: its hash and the kind of its key.
SigningAlgorithm algorithmOf(std::string_view type, std::string_view sha) {
  const bool rsa = type == "RsassaPkcs1Verify";
  if (!rsa && type != "EcdsaVerify") throw std::runtime_error("unexpected group type " + std::string(type));
  if (sha == "SHA-256") return rsa ? SigningAlgorithm::rsaPKCS1SHA256 : SigningAlgorithm::ecdsaSHA256;
  if (sha == "SHA-384") return rsa ? SigningAlgorithm::rsaPKCS1SHA384 : SigningAlgorithm::ecdsaSHA384;
  if (sha == "SHA-512") return rsa ? SigningAlgorithm::rsaPKCS1SHA512 : SigningAlgorithm::ecdsaSHA512;
  throw std::runtime_error("unexpected hash " + std::string(sha));
}

Bytes digestOf(std::string_view sha, const Bytes& message) {
  if (sha == "SHA-256") return platform::security::sha256(message);
  if (sha == "SHA-384") return platform::security::sha384(message);
  return platform::security::sha512(message);
}

std::optional<SigningError> verificationError(const VerificationKey& key, const Bytes& signature, const Bytes& digest,
                                              SigningAlgorithm algorithm) {
  try {
    key.verify(signature, digest, algorithm);
  } catch (const SigningError& error) {
    return error;
  }
  return std::nullopt;
}

struct Counts {
  int valid = 0;
  int invalid = 0;
  int acceptable = 0;
  int keyRefused = 0;
  std::map<std::string, int> refusals;
};

// Why the key of a group must be refused, if it must. The verification key takes RSA keys of any
// size and keys on P-256, P-384 and P-521 only; a curve of the same size could not be told apart
// from its point. (The library's own RSA limits, a modulus above 16384 bits or a public exponent
// above 64 bits with a modulus above 3072 bits, fail at verification, not here; no file has one.)
std::optional<std::string> expectedKeyRefusal(const json::value& group) {
  if (text(group, "type") != "EcdsaVerify") return std::nullopt;
  const auto curve = text(group.at("publicKey"), "curve");
  if (curve == "secp256r1" || curve == "secp384r1" || curve == "secp521r1") return std::nullopt;
  return "key on " + std::string(curve) + ", not P-256, P-384 or P-521";
}

TEST(Wycheproof, VectorFolderHoldsTheRsaAndEcdsaFiles) {
  ASSERT_TRUE(fs::is_directory(vectorFolder)) << vectorFolder << " is missing";
  const char* expected[] = {
      "ecdsa_secp256r1_sha256_test.json",    "ecdsa_secp256r1_sha512_test.json",    "ecdsa_secp384r1_sha256_test.json",
      "ecdsa_secp384r1_sha384_test.json",    "ecdsa_secp384r1_sha512_test.json",    "ecdsa_secp521r1_sha512_test.json",
      "rsa_signature_2048_sha256_test.json", "rsa_signature_2048_sha384_test.json", "rsa_signature_2048_sha512_test.json",
      "rsa_signature_3072_sha256_test.json", "rsa_signature_3072_sha384_test.json", "rsa_signature_3072_sha512_test.json",
      "rsa_signature_4096_sha256_test.json", "rsa_signature_4096_sha384_test.json", "rsa_signature_4096_sha512_test.json",
  };
  for (const auto* name : expected) {
    EXPECT_TRUE(fs::is_regular_file(vectorFolder / name)) << name;
  }
}

// Every "valid" case verifies; every "invalid" and "acceptable" one is refused as an invalid
// signature. A strict verifier refuses the acceptable ones (BER signatures and the like).
TEST(Wycheproof, EveryCaseOfEveryFile) {
  const auto files = vectorFiles();
  ASSERT_FALSE(files.empty()) << "no vector files in " << vectorFolder;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const auto document = readJson(path);
    Counts counts;
    for (const auto& group : document.at("testGroups").as_array()) {
      const auto algorithm = algorithmOf(text(group, "type"), text(group, "sha"));
      const auto sha = text(group, "sha");
      const auto& tests = group.at("tests").as_array();
      const auto refusal = expectedKeyRefusal(group);
      std::optional<VerificationKey> key;
      std::optional<SigningError> keyError;
      try {
        const auto publicKey = platform::security::Key::fromSubjectPublicKeyInfo(fromHex(text(group, "publicKeyDer")));
        if (!publicKey) throw SigningError::invalidPublicKey;
        key.emplace(*publicKey);
      } catch (const SigningError& error) {
        keyError = error;
      }
      if (refusal) {
        EXPECT_EQ(keyError, SigningError::invalidPublicKey) << *refusal;
        counts.keyRefused += static_cast<int>(tests.size());
        counts.refusals[*refusal] += static_cast<int>(tests.size());
        continue;
      }
      ASSERT_EQ(keyError, std::nullopt) << "group key refused";
      for (const auto& test : tests) {
        const auto result = text(test, "result");
        const auto id = test.at("tcId").to_number<std::int64_t>();
        const auto digest = digestOf(sha, fromHex(text(test, "msg")));
        const auto error = verificationError(*key, fromHex(text(test, "sig")), digest, algorithm);
        if (result == "valid") {
          ++counts.valid;
          EXPECT_EQ(error, std::nullopt) << "tcId " << id << " " << text(test, "comment");
        } else {
          ++(result == "invalid" ? counts.invalid : counts.acceptable);
          EXPECT_EQ(error, SigningError::invalidSignature) << "tcId " << id << " (" << result << ") "
                                                            << text(test, "comment");
        }
      }
    }
    std::cout << "[ wycheproof ] " << path.filename().string() << ": " << counts.valid << " valid verified, "
              << counts.invalid << " invalid and " << counts.acceptable << " acceptable refused, " << counts.keyRefused
              << " with a refused key\n";
    for (const auto& [reason, count] : counts.refusals) {
      std::cout << "[ wycheproof ]   " << count << " cases with a refused key: " << reason << "\n";
    }
  }
}

}  // namespace
}  // namespace corvanta

namespace corvanta {
// gtest prints the optional's content in failure messages through this.
inline void PrintTo(const SigningError& error, std::ostream* out) { *out << error.what(); }
}  // namespace corvanta

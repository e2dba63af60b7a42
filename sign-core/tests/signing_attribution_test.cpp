#include "sign-core/signing_attribution.hpp"

#include "sign-core/signing_usage.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvanta {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(SigningUsage, RawValues) {
  EXPECT_EQ(SigningUsage::clientAuthentication.rawValue(), "client_authentication");
  EXPECT_EQ(SigningUsage::documentSigning.rawValue(), "document_signing");
  EXPECT_EQ(SigningUsage::fromRawValue("client_authentication"), SigningUsage::clientAuthentication);
  EXPECT_EQ(SigningUsage::fromRawValue("document_signing"), SigningUsage::documentSigning);
  for (const auto* text : {"", "clientAuthentication", "documentSigning", "Document_signing", "document_signing ",
                           " client_authentication", "document-signing"}) {
    EXPECT_FALSE(SigningUsage::fromRawValue(text).has_value()) << text;
  }
}

struct CleaningRow {
  const char* name;
  std::optional<std::string> given;
  bool recognizedBrowser;
  std::optional<std::string> observed;
  SigningUsage usage;
};

std::vector<CleaningRow> cleaningRows() {
  const std::string letters200(200, 'a');
  std::string letters150WithBlanks;
  for (int i = 0; i < 200; ++i) letters150WithBlanks.push_back(i % 4 == 0 ? ' ' : 'b');
  return {
      {"absent", std::nullopt, false, std::nullopt, SigningUsage::documentSigning},
      {"absent browser", std::nullopt, true, std::nullopt, SigningUsage::documentSigning},
      {"empty browser", "", true, std::nullopt, SigningUsage::documentSigning},
      {"browser", "net.example.web-browser_2", true, "net.example.web-browser_2", SigningUsage::clientAuthentication},
      {"not browser keeps identifier", "com.example.Reader", false, "com.example.Reader",
       SigningUsage::documentSigning},
      {"every kept character", "AZaz09.-_", false, "AZaz09.-_", SigningUsage::documentSigning},
      {"only outside characters", " /\t\n:;@+ ", true, std::nullopt, SigningUsage::documentSigning},
      {"only non-ASCII", "\xC3\xA9\xE2\x80\xA6\xF0\x9F\x98\x80", true, std::nullopt, SigningUsage::documentSigning},
      {"slash joins parts", "com.example/helper", true, "com.examplehelper", SigningUsage::clientAuthentication},
      {"non-ASCII letters dropped", "com.ex\xC3\xA4mple.app", false, "com.exmple.app", SigningUsage::documentSigning},
      {"ill-formed bytes dropped", "a\xFF\xC0" "b", false, "ab", SigningUsage::documentSigning},
      {"NUL dropped", std::string("a\0b", 3), false, "ab", SigningUsage::documentSigning},
      {"200 letters keep 160", letters200, false, std::string(160, 'a'), SigningUsage::documentSigning},
      {"blanks dropped before the cut", letters150WithBlanks, true, std::string(150, 'b'),
       SigningUsage::clientAuthentication},
      {"exactly 160", std::string(160, 'c'), false, std::string(160, 'c'), SigningUsage::documentSigning},
      {"161", std::string(161, 'c'), false, std::string(160, 'c'), SigningUsage::documentSigning},
      {"non-ASCII does not count towards the cut", std::string(300, ' ') + "\xC3\xA9" + std::string(170, 'd'), false,
       std::string(160, 'd'), SigningUsage::documentSigning},
  };
}

TEST(SigningAttribution, CleansTheIdentifierAndDerivesTheUsage) {
  for (const auto& row : cleaningRows()) {
    const std::optional<std::string_view> given = row.given ? std::optional<std::string_view>(*row.given) : std::nullopt;
    const SigningAttribution attribution(given, row.recognizedBrowser);
    EXPECT_EQ(attribution.observedBundleID(), row.observed) << row.name;
    EXPECT_EQ(attribution.usage(), row.usage) << row.name;
  }
}

TEST(SigningAttribution, UnknownIsDocumentSigningWithoutIdentifier) {
  EXPECT_EQ(SigningAttribution::unknown.usage(), SigningUsage::documentSigning);
  EXPECT_FALSE(SigningAttribution::unknown.observedBundleID().has_value());
  EXPECT_EQ(SigningAttribution(std::nullopt, true), SigningAttribution::unknown);
  EXPECT_EQ(SigningAttribution("/ /", true), SigningAttribution::unknown);
}

TEST(SigningAttribution, EqualityComparesUsageAndIdentifier) {
  EXPECT_EQ(SigningAttribution("a.b", true), SigningAttribution("a/.b", true));
  EXPECT_NE(SigningAttribution("a.b", true), SigningAttribution("a.b", false));
  EXPECT_NE(SigningAttribution("a.b", false), SigningAttribution("a.c", false));
  EXPECT_NE(SigningAttribution("a.b", false), SigningAttribution::unknown);
}

TEST(SigningAttribution, ProfileTexts) {
  EXPECT_EQ(SigningAttribution::profilePublisher, "CORVANTA MACOS COMPATIBILITY HINT V1");
  EXPECT_EQ(SigningAttribution::profileProduct, "Corvanta macOS authentication hint v1");
  EXPECT_EQ(SigningAttribution::profileImage, "corvanta-macos-authentication-hint-v1");
}

struct FieldsRow {
  const char* name;
  SigningAttribution attribution;
  Fields fields;
};

TEST(SigningAttribution, CallerFieldsTextForText) {
  const FieldsRow rows[] = {
      {"document signing without identifier",
       SigningAttribution::unknown,
       {
           {"signature_status", "not_verified"},
           {"publisher_cn", ""},
           {"product_name", "Corvanta macOS signing hint v1"},
           {"image_path", "corvanta-macos-signing-hint-v1"},
           {"local_classification", "signing; source=macos_foreground_hint_v1; synthetic_profile=true; "
                                    "caller_verified=false; observed_app=unknown"},
       }},
      {"document signing with identifier",
       SigningAttribution("com.example.Reader", false),
       {
           {"signature_status", "not_verified"},
           {"publisher_cn", ""},
           {"product_name", "Corvanta macOS signing hint v1"},
           {"image_path", "corvanta-macos-signing-hint-v1"},
           {"local_classification", "signing; source=macos_foreground_hint_v1; synthetic_profile=true; "
                                    "caller_verified=false; observed_app=com.example.Reader"},
       }},
      {"client authentication",
       SigningAttribution("org.example.Browser", true),
       {
           {"signature_status", "signed_valid"},
           {"publisher_cn", "CORVANTA MACOS COMPATIBILITY HINT V1"},
           {"product_name", "Corvanta macOS authentication hint v1"},
           {"image_path", "corvanta-macos-authentication-hint-v1"},
           {"local_classification", "authentication; source=macos_foreground_hint_v1; synthetic_profile=true; "
                                    "caller_verified=false; observed_app=org.example.Browser"},
       }},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.attribution.callerFields(), row.fields) << row.name;
  }
}

}  // namespace
}  // namespace corvanta

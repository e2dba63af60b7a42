#include "platform/foundation/json_coding.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::foundation {
namespace {

using Case = DecodingError::Case;
using namespace std::string_view_literals;

// What decoding gave: the value, or the error's case and coding path.
template <typename T>
struct Outcome {
  std::optional<T> value;
  std::optional<Case> failure;
  std::string path;
};

template <typename T, typename Decode>
Outcome<T> outcomeOf(Decode decode) {
  try {
    return {decode(), std::nullopt, {}};
  } catch (const DecodingError& error) {
    return {std::nullopt, error.errorCase(), error.codingPath()};
  }
}

// Decodes member "v" of the document {"v": <valueText>}.
template <typename T>
Outcome<T> requiredMember(std::string_view valueText) {
  const std::string text = "{\"v\":" + std::string(valueText) + "}";
  return outcomeOf<T>([&] {
    const auto document = parseJSON(text);
    return JSONObjectReader::root(document).required<T>("v");
  });
}

template <typename T>
Outcome<std::optional<T>> optionalMember(std::string_view documentText) {
  return outcomeOf<std::optional<T>>([&] {
    const auto document = parseJSON(documentText);
    return JSONObjectReader::root(document).optional<T>("v");
  });
}

template <typename T>
struct Row {
  std::string_view json;
  std::optional<T> value;
  std::optional<Case> failure = std::nullopt;
  // Refusals of the parser concern the whole document; the others name the member.
  std::string_view path = "v";
};

template <typename T>
void expectRows(const std::vector<Row<T>>& rows) {
  for (const auto& row : rows) {
    const auto outcome = requiredMember<T>(row.json);
    SCOPED_TRACE(std::string(row.json));
    EXPECT_EQ(outcome.value, row.value);
    EXPECT_EQ(outcome.failure, row.failure);
    if (row.failure) {
      EXPECT_EQ(outcome.path, row.path);
    }
  }
}

constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();

TEST(JSONDecoding, SignedIntegersAreExact) {
  expectRows<std::int64_t>({
      {"3600", 3600},
      {"-7", -7},
      {"0", 0},
      {"-9223372036854775808", int64Min},
      {"9223372036854775807", int64Max},
      // Integral numbers in other notations count as integers.
      {"3600.0", 3600},
      {"1e2", 100},
      {"2.5e1", 25},
      {"1E+2", 100},
      {"-0.0", 0},
      {"0e5", 0},
      {"-9223372036854775808.0", int64Min},
      {"9223372036854775807.000", int64Max},
      // A double would round this to ...992.
      {"9007199254740993.0", 9007199254740993},
      // Fractions and values out of range are corrupted data.
      {"3.5", std::nullopt, Case::dataCorrupted},
      {"3600.5", std::nullopt, Case::dataCorrupted},
      {"1e-1", std::nullopt, Case::dataCorrupted},
      {"1.0000000000000001", std::nullopt, Case::dataCorrupted},
      {"9223372036854775808", std::nullopt, Case::dataCorrupted},
      {"9223372036854775808.0", std::nullopt, Case::dataCorrupted},
      {"9223372036854775807.5", std::nullopt, Case::dataCorrupted},
      {"-9223372036854775809", std::nullopt, Case::dataCorrupted},
      {"-9223372036854775808.5", std::nullopt, Case::dataCorrupted},
      {"18446744073709551616", std::nullopt, Case::dataCorrupted},
      {"1e19", std::nullopt, Case::dataCorrupted},
      {"1e300", std::nullopt, Case::dataCorrupted},
      // Not finite: the document itself is refused.
      {"1e400", std::nullopt, Case::dataCorrupted, ""},
      {"-1e400", std::nullopt, Case::dataCorrupted, ""},
      // Other JSON types.
      {"true", std::nullopt, Case::typeMismatch},
      {"false", std::nullopt, Case::typeMismatch},
      {"\"3600\"", std::nullopt, Case::typeMismatch},
      {"[1]", std::nullopt, Case::typeMismatch},
      {"{}", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, UnsignedIntegersAreExact) {
  expectRows<std::uint64_t>({
      {"0", 0},
      {"-0", 0},
      {"-0.0", 0},
      {"9223372036854775807", 9223372036854775807u},
      {"9223372036854775808", 9223372036854775808u},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"1e19", 10000000000000000000u},
      {"18446744073709551615.0", std::numeric_limits<std::uint64_t>::max()},
      {"-1", std::nullopt, Case::dataCorrupted},
      {"-1.0", std::nullopt, Case::dataCorrupted},
      {"18446744073709551616", std::nullopt, Case::dataCorrupted},
      {"1.5", std::nullopt, Case::dataCorrupted},
      {"true", std::nullopt, Case::typeMismatch},
      {"\"1\"", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, BooleansAreOnlyTrueAndFalse) {
  expectRows<bool>({
      {"true", true},
      {"false", false},
      {"1", std::nullopt, Case::typeMismatch},
      {"0", std::nullopt, Case::typeMismatch},
      {"1.0", std::nullopt, Case::typeMismatch},
      {"\"true\"", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, StringsAreOnlyJSONStrings) {
  expectRows<std::string>({
      {R"("Bearer")", "Bearer"},
      {R"("")", ""},
      {R"("caf\u00e9 \"q\" \\ \/ \n")", "café \"q\" \\ / \n"},
      {R"("\ud83d\udd11")", "\xF0\x9F\x94\x91"},
      {R"("a\u0000b")", std::string("a\0b", 3)},
      {"1", std::nullopt, Case::typeMismatch},
      {"3600.0", std::nullopt, Case::typeMismatch},
      {"true", std::nullopt, Case::typeMismatch},
      {"[]", std::nullopt, Case::typeMismatch},
      {"{}", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, UUIDsAreHyphenatedTextInEitherCase) {
  const auto uuid = *UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  expectRows<UUID>({
      {R"("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")", uuid},
      {R"("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")", uuid},
      {R"("E621E1F8C36C495A93FC0C247A3E6E5F")", std::nullopt, Case::dataCorrupted},
      {R"("{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}")", std::nullopt, Case::dataCorrupted},
      {R"(" E621E1F8-C36C-495A-93FC-0C247A3E6E5F")", std::nullopt, Case::dataCorrupted},
      {R"("")", std::nullopt, Case::dataCorrupted},
      {"1", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, BytesAreStrictPaddedBase64) {
  expectRows<Bytes>({
      {R"("AAEC/w==")", Bytes{0x00, 0x01, 0x02, 0xFF}},
      {R"("")", Bytes{}},
      // "\/" is the same text as "/".
      {R"("AAEC\/w==")", Bytes{0x00, 0x01, 0x02, 0xFF}},
      {R"("AAEC/w")", std::nullopt, Case::dataCorrupted},
      {R"("AAEC_w==")", std::nullopt, Case::dataCorrupted},
      {R"("AAEC\n/w==")", std::nullopt, Case::dataCorrupted},
      {"[0,1]", std::nullopt, Case::typeMismatch},
      {"null", std::nullopt, Case::valueNotFound},
  });
}

TEST(JSONDecoding, AbsentAndNullDifferForRequiredMembersAndAreNoValueForOptionalOnes) {
  const auto absent = R"({"other":"x"})"sv;
  const auto null = R"({"v":null})"sv;

  const auto requiredAbsent = outcomeOf<std::string>([&] {
    const auto document = parseJSON(absent);
    return JSONObjectReader::root(document).required<std::string>("v");
  });
  EXPECT_EQ(requiredAbsent.failure, Case::keyNotFound);
  EXPECT_EQ(requiredAbsent.path, "v");
  EXPECT_EQ(requiredMember<std::string>("null").failure, Case::valueNotFound);

  for (const auto document : {absent, null}) {
    const auto outcome = optionalMember<std::string>(document);
    ASSERT_TRUE(outcome.value.has_value()) << document;
    EXPECT_FALSE(outcome.value->has_value()) << document;
  }
  const auto present = optionalMember<std::string>(R"({"v":"x"})");
  ASSERT_TRUE(present.value.has_value());
  EXPECT_EQ(*present.value, std::optional<std::string>("x"));
}

TEST(JSONDecoding, AnOptionalMemberOfTheWrongTypeIsAFailureNotAbsence) {
  EXPECT_EQ(optionalMember<std::string>(R"({"v":5})").failure, Case::typeMismatch);
  EXPECT_EQ(optionalMember<std::int64_t>(R"({"v":"5"})").failure, Case::typeMismatch);
  EXPECT_EQ(optionalMember<std::int64_t>(R"({"v":3.5})").failure, Case::dataCorrupted);
  EXPECT_EQ(optionalMember<bool>(R"({"v":0})").failure, Case::typeMismatch);
  EXPECT_EQ(optionalMember<std::vector<std::int64_t>>(R"({"v":[1,null]})").failure, Case::valueNotFound);
}

TEST(JSONDecoding, KeysMatchExactlyAndUnknownKeysAreIgnored) {
  const auto document = parseJSON(R"({"Version":2,"version":1,"extra":{"deep":[null,{"x":1}]},"tail":true})");
  const auto reader = JSONObjectReader::root(document);
  EXPECT_EQ(reader.required<std::int64_t>("version"), 1);
  EXPECT_EQ(reader.required<bool>("tail"), true);
  EXPECT_THROW(reader.required<std::int64_t>("VERSION"), DecodingError);
  EXPECT_FALSE(reader.optional<std::int64_t>("version ").has_value());
}

// A service answer shaped like the allowances of a role: nested objects, an array of objects and
// a map of objects.
struct Pool {
  std::int64_t otherRoles;
  std::int64_t total;

  static Pool fromJSON(const JSONObjectReader& reader) {
    return {reader.required<std::int64_t>("other_roles"), reader.required<std::int64_t>("total")};
  }
  friend bool operator==(const Pool&, const Pool&) = default;
};

struct Entitlement {
  std::string code;
  std::optional<std::int64_t> remaining;

  static Entitlement fromJSON(const JSONObjectReader& reader) {
    return {reader.required<std::string>("code"), reader.optional<std::int64_t>("remaining")};
  }
  friend bool operator==(const Entitlement&, const Entitlement&) = default;
};

struct Details {
  std::vector<Entitlement> entitlements;
  std::optional<std::map<std::string, Pool>> spendable;

  static Details fromJSON(const JSONObjectReader& reader) {
    return {reader.required<std::vector<Entitlement>>("entitlements"),
            reader.optional<std::map<std::string, Pool>>("spendable_across_roles")};
  }
};

struct Envelope {
  std::int64_t success;
  Details data;

  static Envelope fromJSON(const JSONObjectReader& reader) {
    return {reader.required<std::int64_t>("success"), reader.required<Details>("data")};
  }
};

TEST(JSONDecoding, DecodesNestedObjectsArraysAndMaps) {
  const auto envelope = decodeJSON<Envelope>(R"({
    "success": 1,
    "data": {
      "entitlements": [{"code": "one_sided_documents", "remaining": 12.0}, {"code": "authentication_rights"}],
      "spendable_across_roles": {"one_sided_documents": {"other_roles": 3, "total": 15}, "x": {"other_roles": 0, "total": 0}}
    }
  })"sv);
  EXPECT_EQ(envelope.success, 1);
  EXPECT_EQ(envelope.data.entitlements,
            (std::vector<Entitlement>{{"one_sided_documents", 12}, {"authentication_rights", std::nullopt}}));
  ASSERT_TRUE(envelope.data.spendable.has_value());
  EXPECT_EQ(*envelope.data.spendable,
            (std::map<std::string, Pool>{{"one_sided_documents", {3, 15}}, {"x", {0, 0}}}));

  const auto empty = decodeJSON<Envelope>(R"({"success":0,"data":{"entitlements":[],"spendable_across_roles":null}})"sv);
  EXPECT_TRUE(empty.data.entitlements.empty());
  EXPECT_FALSE(empty.data.spendable.has_value());
}

TEST(JSONDecoding, OneBadElementOrMapValueFailsTheWholeValueWithItsPath) {
  const struct {
    std::string_view json;
    Case failure;
    std::string_view path;
  } rows[] = {
      {R"({"success":true,"data":{"entitlements":[]}})", Case::typeMismatch, "success"},
      {R"({"success":1})", Case::keyNotFound, "data"},
      {R"({"success":1,"data":null})", Case::valueNotFound, "data"},
      {R"({"success":1,"data":[]})", Case::typeMismatch, "data"},
      {R"({"success":1,"data":{"entitlements":{}}})", Case::typeMismatch, "data.entitlements"},
      {R"({"success":1,"data":{"entitlements":[{"code":"a"},{"code":"b"},{"code":7}]}})", Case::typeMismatch,
       "data.entitlements[2].code"},
      {R"({"success":1,"data":{"entitlements":[{"code":"a"},{"remaining":1}]}})", Case::keyNotFound,
       "data.entitlements[1].code"},
      {R"({"success":1,"data":{"entitlements":[{"code":"a"},null]}})", Case::valueNotFound, "data.entitlements[1]"},
      {R"({"success":1,"data":{"entitlements":[{"code":"a","remaining":"5"}]}})", Case::typeMismatch,
       "data.entitlements[0].remaining"},
      // A pool under a key that nobody reads must decode all the same.
      {R"({"success":1,"data":{"entitlements":[],"spendable_across_roles":{"one_sided_documents":{"other_roles":1,"total":2},"unused":{"other_roles":1}}}})",
       Case::keyNotFound, "data.spendable_across_roles.unused.total"},
      {R"({"success":1,"data":{"entitlements":[],"spendable_across_roles":{"unused":{"other_roles":1.5,"total":2}}}})",
       Case::dataCorrupted, "data.spendable_across_roles.unused.other_roles"},
      {R"({"success":1,"data":{"entitlements":[],"spendable_across_roles":{"unused":5}}})", Case::typeMismatch,
       "data.spendable_across_roles.unused"},
      {R"({"success":1,"data":{"entitlements":[],"spendable_across_roles":[]}})", Case::typeMismatch,
       "data.spendable_across_roles"},
      {R"([{"success":1}])", Case::typeMismatch, ""},
      {R"("text")", Case::typeMismatch, ""},
  };
  for (const auto& row : rows) {
    const auto outcome = outcomeOf<Envelope>([&] { return decodeJSON<Envelope>(row.json); });
    EXPECT_EQ(outcome.failure, row.failure) << row.json;
    EXPECT_EQ(outcome.path, row.path) << row.json;
  }
}

TEST(JSONDecoding, ArraysDecodeOnlyWhenEveryElementDoes) {
  EXPECT_EQ(requiredMember<std::vector<std::int64_t>>("[1,2.0,3]").value, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(requiredMember<std::vector<std::int64_t>>("[]").value, std::vector<std::int64_t>{});
  const auto bad = requiredMember<std::vector<std::int64_t>>(R"([1,"2",3])");
  EXPECT_EQ(bad.failure, Case::typeMismatch);
  EXPECT_EQ(bad.path, "v[1]");
  const auto nested = requiredMember<std::vector<std::vector<bool>>>("[[true],[false,0]]");
  EXPECT_EQ(nested.failure, Case::typeMismatch);
  EXPECT_EQ(nested.path, "v[1][1]");
}

TEST(JSONDecoding, NestedReadersCarryTheirPath) {
  const auto document = parseJSON(R"({"data":{"roles":[{"role_uuid":"r1","is_personal":"yes"}]}})");
  const auto data = JSONObjectReader::root(document).required<JSONObjectReader>("data");
  EXPECT_EQ(data.codingPath(), "data");
  const auto roles = data.required<std::vector<JSONObjectReader>>("roles");
  ASSERT_EQ(roles.size(), 1u);
  EXPECT_EQ(roles[0].required<std::string>("role_uuid"), "r1");
  try {
    roles[0].required<bool>("is_personal");
    FAIL() << "a string decoded as a boolean";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error, DecodingError::typeMismatch("data.roles[0].is_personal", "any wording"));
  }
  EXPECT_FALSE(JSONObjectReader::root(document).optional<JSONObjectReader>("missing").has_value());
}

TEST(JSONParsing, RefusesEveryTextThatIsNotOneStrictJSONDocument) {
  const std::string_view refused[] = {
      ""sv,
      " \n\t"sv,
      "\xEF\xBB\xBF{}"sv,                   // byte order mark
      "{} x"sv,                             // trailing data
      "{}{}"sv,
      "{} 1"sv,
      "{}\0"sv,
      "{\"v\":1,}"sv,                       // trailing comma
      "[1,]"sv,
      "{/*c*/\"v\":1}"sv,                   // comment
      "{\"v\":1}//c"sv,
      "{'v':1}"sv,                          // single quotes
      "{v:1}"sv,
      "{\"v\":NaN}"sv,
      "{\"v\":Infinity}"sv,
      "{\"v\":-Infinity}"sv,
      "{\"v\":1e400}"sv,                    // not finite
      "{\"v\":-1e400}"sv,
      "{\"v\":01}"sv,                       // leading zero
      "{\"v\":+1}"sv,
      "{\"v\":.5}"sv,
      "{\"v\":0x10}"sv,
      "{\"v\":\"a\tb\"}"sv,                 // raw control character in a string
      "{\"v\":\"a\nb\"}"sv,
      "{\"v\":\"\\x41\"}"sv,                // unknown escape
      "{\"v\":\"\xC3\x28\"}"sv,             // invalid UTF-8
      "{\"v\":\"\xC0\xAF\"}"sv,             // overlong form
      "{\"v\":\"\xED\xA0\x80\"}"sv,         // surrogate written in UTF-8
      "{\"v\":\"\xF4\x90\x80\x80\"}"sv,     // above U+10FFFF
      "{\"v\":\"\xFF\"}"sv,
      "{\"v\":\"\xE2\x82\"}"sv,             // truncated sequence
      "{\"\xC3\x28\":1}"sv,                 // invalid UTF-8 in a key
      "{\"v\":\"\\ud800\"}"sv,              // lone leading surrogate
      "{\"v\":\"\\udc00\"}"sv,              // lone trailing surrogate
      "{\"v\":\"\\ud800\\u0041\"}"sv,
      "{\"v\":\"\\ude00\\ud83d\"}"sv,       // surrogates in the wrong order
      "{\"v\":1"sv,                         // incomplete
      "{\"v\":\"abc"sv,
      "\xC3\xA9"sv,
  };
  for (const auto text : refused) {
    const auto outcome = outcomeOf<bool>([&] {
      parseJSON(text);
      return true;
    });
    EXPECT_EQ(outcome.failure, Case::dataCorrupted) << '"' << std::string(text) << '"';
    EXPECT_EQ(outcome.path, "") << std::string(text);
  }
}

TEST(JSONParsing, AcceptsWhiteSpaceAroundTheValueAndTopLevelScalars) {
  EXPECT_TRUE(parseJSON(" \r\n\t{\"v\":1} \n").is_object());
  EXPECT_EQ(parseJSON("42").as_int64(), 42);
  EXPECT_EQ(parseJSON("\"\\u00e9\"").as_string(), "é");
}

TEST(JSONParsing, KeepsWrittenIntegersExactWhateverTheirNotation) {
  EXPECT_EQ(parseJSON("34.0").kind(), boost::json::kind::int64);
  EXPECT_EQ(parseJSON("1e2").as_int64(), 100);
  EXPECT_EQ(parseJSON("9223372036854775808.0").as_uint64(), 9223372036854775808u);
  EXPECT_EQ(parseJSON("3.5").as_double(), 3.5);
  EXPECT_EQ(parseJSON("18446744073709551616").kind(), boost::json::kind::double_);
  EXPECT_EQ(parseJSON("1e-400").as_double(), 0.0);
}

TEST(JSONParsing, RoundsFractionalNumbersCorrectly) {
  // Boost's own conversion gives 1.8446111111111107e60 for this text.
  EXPECT_EQ(parseJSON("1.844611111111111E60").as_double(), 1.844611111111111e60);
  EXPECT_EQ(parseJSON("0.1").as_double(), 0.1);
  EXPECT_EQ(parseJSON("-2.2250738585072014e-308").as_double(), -2.2250738585072014e-308);
}

TEST(JSONParsing, RefusesDuplicateKeysInEveryObject) {
  const std::string_view refused[] = {
      R"({"a":1,"a":1})",
      R"({"a":1,"b":2,"a":3})",
      R"({"a":1,"\u0061":2})",  // the same key once escaped
      R"({"o":{"k":1,"k":2}})",
      R"([{"k":1},{"k":1,"k":2}])",
      R"({"a":{"a":{"":1,"":2}}})",
  };
  for (const auto text : refused) {
    EXPECT_THROW(parseJSON(text), DecodingError) << text;
  }
  // The same key in different objects, and keys that differ in case, are no duplicates.
  EXPECT_NO_THROW(parseJSON(R"({"k":1,"o":{"k":1},"p":[{"k":1},{"k":2}],"K":3})"));
}

TEST(JSONParsing, AllowsThirtyTwoLevelsOfNesting) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(parseJSON(nested(32)));
  EXPECT_THROW(parseJSON(nested(33)), DecodingError);
}

TEST(JSONParsing, ErrorsNeverRepeatTheDocument) {
  const std::string secret = "eyJhbGciOiJSUzI1NiJ9.secret";
  try {
    decodeJSON<std::map<std::string, UUID>>("{\"token\":\"" + secret + "\"}");
    FAIL() << "a token decoded as a UUID";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.errorCase(), Case::dataCorrupted);
    EXPECT_EQ(std::string(error.what()).find(secret), std::string::npos) << error.what();
  }
}

TEST(DecodingError, EqualityIsByCaseAndPathAndWhatNamesBoth) {
  const auto error = DecodingError::keyNotFound("data.roles", "No value.");
  EXPECT_EQ(error, DecodingError::keyNotFound("data.roles", "other words"));
  EXPECT_NE(error, DecodingError::valueNotFound("data.roles", "No value."));
  EXPECT_NE(error, DecodingError::keyNotFound("data", "No value."));
  EXPECT_NE(std::string(error.what()).find("keyNotFound"), std::string::npos);
  EXPECT_NE(std::string(error.what()).find("data.roles"), std::string::npos);
}

// The system's own JSON: written by the writer, read back by the readers.
struct SignRequestLike {
  UUID requestID;
  Bytes digest;
  std::string keyObjectID;
  std::uint64_t deadlineTicks;
  std::int64_t version;
  bool flag;

  static SignRequestLike fromJSON(const JSONObjectReader& reader) {
    return {reader.required<UUID>("requestID"), reader.required<Bytes>("digest"),
            reader.required<std::string>("keyObjectID"), reader.required<std::uint64_t>("deadlineTicks"),
            reader.required<std::int64_t>("version"), reader.required<bool>("flag")};
  }

  std::string toJSON() const {
    return JSONObjectWriter()
        .setUUID("requestID", requestID)
        .setBytes("digest", digest)
        .setString("keyObjectID", keyObjectID)
        .setUInt64("deadlineTicks", deadlineTicks)
        .setInt64("version", version)
        .setBool("flag", flag)
        .serialized();
  }

  friend bool operator==(const SignRequestLike&, const SignRequestLike&) = default;
};

TEST(JSONEncoding, WritesCompactlyInTheOrderSetAndRoundTrips) {
  const SignRequestLike request{*UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"),
                                Bytes{0xFB, 0xFF, 0x00, 0x3F},
                                "key:a/b \"q\" \\ \n\x01 é",
                                std::numeric_limits<std::uint64_t>::max(),
                                int64Min,
                                false};
  const auto text = request.toJSON();
  EXPECT_EQ(text,
            "{\"requestID\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"digest\":\"+/8APw==\","
            "\"keyObjectID\":\"key:a/b \\\"q\\\" \\\\ \\n\\u0001 é\",\"deadlineTicks\":18446744073709551615,"
            "\"version\":-9223372036854775808,\"flag\":false}");
  EXPECT_EQ(decodeJSON<SignRequestLike>(text), request);
  EXPECT_EQ(decodeJSON<SignRequestLike>(bytesOf(text)), request);
}

TEST(JSONEncoding, RandomUUIDsRoundTripInUpperCase) {
  for (int i = 0; i < 16; ++i) {
    const auto uuid = UUID::random();
    const auto text = JSONObjectWriter().setUUID("id", uuid).serialized();
    EXPECT_EQ(text, "{\"id\":\"" + uuid.uuidString() + "\"}");
    const auto decoded = decodeJSON<std::map<std::string, UUID>>(text);
    EXPECT_EQ(decoded.at("id"), uuid);
  }
}

TEST(JSONEncoding, RefusesWhatWouldNotBeValidJSON) {
  JSONObjectWriter writer;
  writer.setInt64("version", 1);
  EXPECT_THROW(writer.setInt64("version", 2), std::invalid_argument);
  EXPECT_THROW(writer.setString("text", "\xC3\x28"), std::invalid_argument);
  EXPECT_THROW(writer.setBool("\xED\xA0\x80", true), std::invalid_argument);
  EXPECT_EQ(writer.serialized(), "{\"version\":1}");
  EXPECT_EQ(JSONObjectWriter().serialized(), "{}");
}

}  // namespace
}  // namespace platform::foundation

#include "connection/service/role_allowances.hpp"
#include "connection/service/tests/service_answer.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using testing::body;
using testing::dataCorrupted;
using testing::envelope;
using testing::expectRefusals;
using testing::jsonArray;
using testing::JSONMembers;
using testing::keyNotFound;
using testing::RefusalRow;
using testing::jsonString;
using testing::typeMismatch;
using testing::valueNotFound;

constexpr auto none = std::nullopt;

std::string entitlement(const std::string& code, const std::string& remaining) {
  return JSONMembers{{"code", jsonString(code)}, {"remaining", remaining}};
}

std::string entitlementWithoutRemaining(const std::string& code) { return JSONMembers{{"code", jsonString(code)}}; }

std::string pool(const std::string& otherRoles, const std::string& total) {
  return JSONMembers{{"other_roles", otherRoles}, {"total", total}};
}

JSONMembers details(const std::vector<std::string>& entitlements) {
  return JSONMembers{{"entitlements", jsonArray(entitlements)}};
}

JSONMembers details(const std::vector<std::string>& entitlements, const std::string& pools) {
  return details(entitlements).with("spendable_across_roles", pools);
}

RoleAllowances decode(const std::string& json) { return RoleAllowances::fromData(body(json)); }

const std::string signatures12 = entitlement("one_sided_documents", "12");
const std::string authentications5 = entitlement("authentication_rights", "5");

TEST(RoleAllowances, DerivesTheAllowancesFromTheBillingAnswer) {
  struct Row {
    const char* name;
    std::string data;
    RoleAllowances expected;
  };
  const Row rows[] = {
      {"no entitlements", details({}), {0, 0, none, false}},
      {"both counts", details({signatures12, authentications5}), {12, 5, none, true}},
      {"counts of zero", details({entitlement("one_sided_documents", "0"), entitlement("authentication_rights", "0")}),
       {0, 0, none, false}},
      {"authentication without remaining", details({signatures12, entitlementWithoutRemaining("authentication_rights")}),
       {12, none, none, none}},
      {"authentication with null remaining", details({signatures12, entitlement("authentication_rights", "null")}),
       {12, none, none, none}},
      {"signatures without remaining", details({entitlementWithoutRemaining("one_sided_documents")}),
       {none, 0, none, false}},
      {"codes matched ignoring case",
       details({entitlement("ONE_SIDED_DOCUMENTS", "3"), entitlement("Authentication_Rights", "4")}), {3, 4, none, true}},
      {"other codes ignored, negative or not",
       details({entitlement("two_sided_documents", "-3"), entitlementWithoutRemaining("seals"), signatures12}),
       {12, 0, none, false}},
      {"a code with a space is another code", details({entitlement("one_sided_documents ", "7")}), {0, 0, none, false}},
      {"remaining as 7.0", details({entitlement("one_sided_documents", "7.0")}), {7, 0, none, false}},
      {"largest remaining", details({entitlement("one_sided_documents", "9223372036854775807")}),
       {9223372036854775807, 0, none, false}},

      {"signature pool", details({signatures12}, JSONMembers{{"one_sided_documents", pool("3", "15")}}),
       {12, 0, 3, false}},
      {"authentication pool with total 0 beats rights of 5",
       details({authentications5}, JSONMembers{{"authentication_rights", pool("0", "0")}}), {0, 5, none, false}},
      {"authentication pool with total 2 beats rights of 0",
       details({entitlement("authentication_rights", "0")}, JSONMembers{{"authentication_rights", pool("2", "2")}}),
       {0, 0, none, true}},
      {"authentication pool without rights",
       details({entitlementWithoutRemaining("authentication_rights")},
               JSONMembers{{"authentication_rights", pool("0", "1")}}),
       {0, none, none, true}},
      {"both pools",
       details({signatures12, authentications5},
               JSONMembers{{"one_sided_documents", pool("0", "12")}, {"authentication_rights", pool("1", "6")}}),
       {12, 5, 0, true}},
      {"pools null", details({signatures12}, "null"), {12, 0, none, false}},
      {"no pools", details({signatures12}, "{}"), {12, 0, none, false}},
      {"pool keys are exact",
       details({signatures12}, JSONMembers{{"ONE_SIDED_DOCUMENTS", pool("-1", "-1")},
                                           {"Authentication_Rights", pool("1", "0")}}),
       {12, 0, none, false}},
      {"pools under other keys are not checked",
       details({authentications5}, JSONMembers{{"foo", pool("-5", "-5")}}), {0, 5, none, true}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decode(envelope(row.data)), row.expected);
  }

  const std::string unknownMembers =
      envelope(details({JSONMembers{{"code", jsonString("one_sided_documents")}, {"remaining", "2"}, {"limit", "10"}}},
                       JSONMembers{{"one_sided_documents",
                                    JSONMembers{{"other_roles", "1"}, {"total", "3"}, {"roles", "[]"}}}})
                   .with("plan", jsonString("pro")))
          .with("message", "null");
  EXPECT_EQ(decode(unknownMembers), RoleAllowances(2, 0, 1, false));
  EXPECT_EQ(decode(envelope(details({}), "1.0")), RoleAllowances(0, 0, none, false));
}

TEST(RoleAllowances, PassesDecodingErrorsOnUnchanged) {
  const auto good = details({signatures12});
  const std::vector<RefusalRow> rows = {
      {"entitlements absent", envelope(JSONMembers{{"spendable_across_roles", "{}"}}), keyNotFound("data.entitlements")},
      {"entitlements null", envelope(good.with("entitlements", "null")), valueNotFound("data.entitlements")},
      {"entitlements an object", envelope(good.with("entitlements", signatures12)), typeMismatch("data.entitlements")},
      {"code absent", envelope(details({signatures12, JSONMembers{{"remaining", "1"}}})),
       keyNotFound("data.entitlements[1].code")},
      {"code null", envelope(details({entitlement("x", "1"), JSONMembers{{"code", "null"}}})),
       valueNotFound("data.entitlements[1].code")},
      {"code a number", envelope(details({JSONMembers{{"code", "1"}}})), typeMismatch("data.entitlements[0].code")},
      {"remaining a string", envelope(details({entitlement("one_sided_documents", jsonString("3"))})),
       typeMismatch("data.entitlements[0].remaining")},
      {"remaining a boolean", envelope(details({entitlement("authentication_rights", "true")})),
       typeMismatch("data.entitlements[0].remaining")},
      {"remaining a fraction", envelope(details({entitlement("one_sided_documents", "3.5")})),
       dataCorrupted("data.entitlements[0].remaining")},
      {"remaining beyond 64 bits", envelope(details({entitlement("one_sided_documents", "9223372036854775808")})),
       dataCorrupted("data.entitlements[0].remaining")},
      {"malformed entitlement of an ignored code", envelope(details({signatures12, entitlement("seals", jsonString("many"))})),
       typeMismatch("data.entitlements[1].remaining")},
      {"entitlement not an object", envelope(details({jsonString("one_sided_documents")})),
       typeMismatch("data.entitlements[0]")},

      {"pools an array", envelope(good.with("spendable_across_roles", "[]")), typeMismatch("data.spendable_across_roles")},
      {"bad pool under an unrelated key: total absent",
       envelope(details({signatures12}, JSONMembers{{"foo", JSONMembers{{"other_roles", "1"}}}})),
       keyNotFound("data.spendable_across_roles.foo.total")},
      {"bad pool under an unrelated key: not an object",
       envelope(details({signatures12}, JSONMembers{{"one_sided_documents", pool("1", "2")}, {"foo", "5"}})),
       typeMismatch("data.spendable_across_roles.foo")},
      {"other_roles a string", envelope(details({}, JSONMembers{{"one_sided_documents", pool(jsonString("1"), "2")}})),
       typeMismatch("data.spendable_across_roles.one_sided_documents.other_roles")},
      {"total null", envelope(details({}, JSONMembers{{"authentication_rights", pool("1", "null")}})),
       valueNotFound("data.spendable_across_roles.authentication_rights.total")},
      {"other_roles absent", envelope(details({}, JSONMembers{{"authentication_rights", JSONMembers{{"total", "1"}}}})),
       keyNotFound("data.spendable_across_roles.authentication_rights.other_roles")},

      {"success true", envelope(good, "true"), typeMismatch("success")},
      {"success absent", envelope(good).without("success"), keyNotFound("success")},
      {"success a string", envelope(good, jsonString("1")), typeMismatch("success")},
      {"data absent", envelope(good).without("data"), keyNotFound("data")},
      {"data null", envelope("null"), valueNotFound("data")},
      {"pool key twice",
       envelope(details({}, JSONMembers{{"foo", pool("1", "1")}}.repeating("foo", pool("2", "2")))), dataCorrupted()},
      {"key twice in an entitlement",
       envelope(details({JSONMembers{{"code", jsonString("one_sided_documents")}, {"remaining", "1"}}.repeating("remaining", "-1")})),
       dataCorrupted()},
      {"not JSON", "Service Unavailable", dataCorrupted()},
      {"number beyond double range", envelope(details({entitlement("one_sided_documents", "1e400")})), dataCorrupted()},
  };
  expectRefusals(decode, rows);
}

TEST(RoleAllowances, RefusesWhatFailsItsChecks) {
  const std::vector<RefusalRow> rows = {
      {"success 0 with perfect data", envelope(details({signatures12, authentications5}), "0"),
       ConnectionError::invalidResponse},
      {"success 2", envelope(details({}), "2"), ConnectionError::invalidResponse},
      {"a code in lower case and in capitals",
       envelope(details({entitlement("one_sided_documents", "1"), entitlement("ONE_SIDED_DOCUMENTS", "1")})),
       ConnectionError::invalidResponse},
      {"a code twice exactly",
       envelope(details({authentications5, entitlementWithoutRemaining("authentication_rights")})),
       ConnectionError::invalidResponse},
      {"negative signatures remaining", envelope(details({entitlement("one_sided_documents", "-1")})),
       ConnectionError::invalidResponse},
      {"negative authentications remaining", envelope(details({entitlement("authentication_rights", "-1")})),
       ConnectionError::invalidResponse},
      {"negative other_roles in the signature pool",
       envelope(details({}, JSONMembers{{"one_sided_documents", pool("-1", "4")}})), ConnectionError::invalidResponse},
      {"negative total in the signature pool",
       envelope(details({}, JSONMembers{{"one_sided_documents", pool("0", "-4")}})), ConnectionError::invalidResponse},
      {"negative other_roles in the authentication pool",
       envelope(details({}, JSONMembers{{"authentication_rights", pool("-2", "4")}})), ConnectionError::invalidResponse},
      {"negative total in the authentication pool",
       envelope(details({}, JSONMembers{{"authentication_rights", pool("1", "-1")}})), ConnectionError::invalidResponse},
  };
  expectRefusals(decode, rows);
}

}  // namespace
}  // namespace corvanta

#include "connection/service/account_profile.hpp"
#include "connection/service/account_role.hpp"
#include "connection/service/tests/service_answer.hpp"
#include "platform/foundation/json_coding.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using platform::foundation::decodeJSON;
using testing::dataCorrupted;
using testing::expectRefusal;
using testing::expectRefusals;
using testing::JSONMembers;
using testing::keyNotFound;
using testing::RefusalRow;
using testing::jsonString;
using testing::typeMismatch;
using testing::valueNotFound;

constexpr auto none = std::nullopt;

// ---- AccountProfile

const JSONMembers fullProfile{
    {"sub", jsonString("f3a9c1d2-user")}, {"name", jsonString("Ana Pop")}, {"preferred_username", jsonString("ana.pop")}};

TEST(AccountProfile, DecodesTheUserinfoObject) {
  struct Row {
    const char* name;
    std::string json;
    AccountProfile expected;
  };
  const Row rows[] = {
      {"every member", fullProfile, {"f3a9c1d2-user", "Ana Pop", "ana.pop"}},
      {"only sub", JSONMembers{{"sub", jsonString("u1")}}, {"u1", none, none}},
      {"optional members null", fullProfile.with("name", "null").with("preferred_username", "null"),
       {"f3a9c1d2-user", none, none}},
      {"empty sub decodes", fullProfile.with("sub", jsonString("")), {"", "Ana Pop", "ana.pop"}},
      {"unknown members ignored",
       fullProfile.with("email", jsonString("a@b.c")).with("email_verified", "true").with("groups", "[{\"x\":1}]"),
       {"f3a9c1d2-user", "Ana Pop", "ana.pop"}},
      {"keys are case-sensitive", fullProfile.with("Name", jsonString("Other")).without("name"),
       {"f3a9c1d2-user", none, "ana.pop"}},
      {"text kept as it comes", fullProfile.with("name", jsonString(" Ana \u00C7 ")), {"f3a9c1d2-user", " Ana \u00C7 ", "ana.pop"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decodeJSON<AccountProfile>(row.json), row.expected);
  }
}

TEST(AccountProfile, RefusesMalformedBodiesWithTheDecodingError) {
  const std::vector<RefusalRow> rows = {
      {"sub absent", fullProfile.without("sub"), keyNotFound("sub")},
      {"sub null", fullProfile.with("sub", "null"), valueNotFound("sub")},
      {"sub a number", fullProfile.with("sub", "42"), typeMismatch("sub")},
      {"name a number", fullProfile.with("name", "1"), typeMismatch("name")},
      {"name a boolean", fullProfile.with("name", "false"), typeMismatch("name")},
      {"preferred_username an object", fullProfile.with("preferred_username", "{}"),
       typeMismatch("preferred_username")},
      {"sub twice", fullProfile.repeating("sub", jsonString("someone-else")), dataCorrupted()},
      {"not an object", "[" + fullProfile.text() + "]", typeMismatch("")},
      {"not JSON", "sub=u1", dataCorrupted()},
      {"trailing data", fullProfile.text() + "x", dataCorrupted()},
      {"empty body", "", dataCorrupted()},
  };
  expectRefusals([](const std::string& json) { return decodeJSON<AccountProfile>(json); }, rows);
}

TEST(AccountProfile, DisplayNameFallsThroughOnAbsenceOnly) {
  struct Row {
    AccountProfile profile;
    std::string displayName;
  };
  const Row rows[] = {
      {{"u", "Ana Pop", "ana.pop"}, "Ana Pop"},
      {{"u", none, "ana.pop"}, "ana.pop"},
      {{"u", none, none}, "Corvanta account"},
      {{"u", "", "ana.pop"}, ""},
      {{"u", none, ""}, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.profile.displayName(), row.displayName);
  }
  EXPECT_EQ(decodeJSON<AccountProfile>(JSONMembers{{"sub", jsonString("u")}}.text()).displayName(), "Corvanta account");
  EXPECT_EQ(decodeJSON<AccountProfile>(fullProfile.with("name", jsonString("")).text()).displayName(), "");
}

// ---- AccountRole

const JSONMembers companyRole{{"role_uuid", jsonString("0B6F1F52-8C1E-4B0A-9B5A-2E4C6D8F0A13")},
                              {"role_name", jsonString("Legal representative")},
                              {"role_code", jsonString("LEGAL_REP")},
                              {"company_name", jsonString("Acme SRL")},
                              {"is_personal", "false"}};

TEST(AccountRole, DecodesARoleObject) {
  struct Row {
    const char* name;
    std::string json;
    AccountRole expected;
  };
  const std::string uuid = "0B6F1F52-8C1E-4B0A-9B5A-2E4C6D8F0A13";
  const Row rows[] = {
      {"every member", companyRole, {uuid, "Legal representative", "LEGAL_REP", "Acme SRL", false}},
      {"only the required members",
       JSONMembers{{"role_uuid", jsonString("r-1")}, {"is_personal", "true"}},
       {"r-1", none, none, none, true}},
      {"optional members null",
       companyRole.with("role_name", "null").with("role_code", "null").with("company_name", "null"),
       {uuid, none, none, none, false}},
      {"unknown members ignored", companyRole.with("permissions", "[\"sign\"]").with("is_default", "1"),
       {uuid, "Legal representative", "LEGAL_REP", "Acme SRL", false}},
      {"role UUID taken as it comes", companyRole.with("role_uuid", jsonString(" r 1\n")),
       {" r 1\n", "Legal representative", "LEGAL_REP", "Acme SRL", false}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto role = decodeJSON<AccountRole>(row.json);
    EXPECT_EQ(role, row.expected);
    EXPECT_EQ(role.id(), row.expected.roleUuid());
  }
}

TEST(AccountRole, RefusesMalformedRolesWithTheDecodingError) {
  const std::vector<RefusalRow> rows = {
      {"role_uuid absent", companyRole.without("role_uuid"), keyNotFound("role_uuid")},
      {"is_personal absent", companyRole.without("is_personal"), keyNotFound("is_personal")},
      {"role_uuid null", companyRole.with("role_uuid", "null"), valueNotFound("role_uuid")},
      {"is_personal null", companyRole.with("is_personal", "null"), valueNotFound("is_personal")},
      {"role_uuid a number", companyRole.with("role_uuid", "7"), typeMismatch("role_uuid")},
      {"is_personal 1", companyRole.with("is_personal", "1"), typeMismatch("is_personal")},
      {"is_personal 0", companyRole.with("is_personal", "0"), typeMismatch("is_personal")},
      {"is_personal a string", companyRole.with("is_personal", jsonString("true")), typeMismatch("is_personal")},
      {"role_name a number", companyRole.with("role_name", "3"), typeMismatch("role_name")},
      {"role_code a boolean", companyRole.with("role_code", "true"), typeMismatch("role_code")},
      {"company_name an array", companyRole.with("company_name", "[]"), typeMismatch("company_name")},
      {"is_personal twice", companyRole.repeating("is_personal", "true"), dataCorrupted()},
  };
  expectRefusals([](const std::string& json) { return decodeJSON<AccountRole>(json); }, rows);

  // In a list, one bad role refuses the list, and the path names it.
  const auto list = testing::jsonArray({companyRole, companyRole.with("is_personal", "1")});
  expectRefusal([&] { decodeJSON<std::vector<AccountRole>>(list); }, typeMismatch("[1].is_personal"), "list");
}

TEST(AccountRole, DisplayName) {
  struct Row {
    const char* name;
    AccountRole role;
    std::string displayName;
  };
  const Row rows[] = {
      {"personal, whatever else", {"r", "Signer", "SIGNER", "Acme SRL", true}, "Personal account"},
      {"personal, nothing else", {"r", none, none, none, true}, "Personal account"},
      {"company and role name", {"r", "Signer", "SIGNER", "Acme SRL", false}, "Acme SRL \xC2\xB7 Signer"},
      {"company and role code", {"r", none, "SIGNER", "Acme SRL", false}, "Acme SRL \xC2\xB7 SIGNER"},
      {"empty role name wins over the code", {"r", "", "SIGNER", "Acme SRL", false}, "Acme SRL"},
      {"company only", {"r", none, none, "Acme SRL", false}, "Acme SRL"},
      {"company and empty code", {"r", none, "", "Acme SRL", false}, "Acme SRL"},
      {"role name only", {"r", "Signer", none, none, false}, "Signer"},
      {"empty company and role name", {"r", "Signer", none, "", false}, "Signer"},
      {"role code only", {"r", none, "SIGNER", none, false}, "SIGNER"},
      {"nothing", {"r", none, none, none, false}, ""},
      {"all empty", {"r", "", "", "", false}, ""},
      {"texts kept as they are", {"r", " Signer ", none, " Acme ", false}, " Acme  \xC2\xB7  Signer "},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.role.displayName(), row.displayName) << row.name;
  }
}

}  // namespace
}  // namespace corvanta

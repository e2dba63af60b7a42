#include "platform/servicemanagement/agent_registry.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/servicemanagement/service_management_error.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace platform::servicemanagement {
namespace {

using Case = ServiceManagementError::Case;
using Instant = runtime::ContinuousClock::Instant;

const AgentDefinition definition{"ro.example.Agent", "/opt/App.app/Contents/MacOS/Agent", {"Agent", "-x"},
                                 {"T.ro.example.Agent.A", "T.ro.example.Agent.B"}};

TEST(AgentRecord, KeepsTheDefinitionTheInstanceAndTheLaunchTime) {
  const AgentRecord rows[] = {
      {definition, std::nullopt, std::nullopt},
      {definition, AgentInstance{4242, 987654321}, Instant::fromNanoseconds(123456789012345)},
  };
  for (const auto& record : rows) {
    const auto decoded = decodeAgentRecord(encodeAgentRecord(record));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, record);
  }
}

TEST(AgentRecord, AnythingElseIsNoRecord) {
  const auto valid = encodeAgentRecord({definition, AgentInstance{4242, 1}, std::nullopt});
  const auto text = std::string(valid.begin(), valid.end());
  const auto replaced = [&](const std::string& from, const std::string& to) {
    auto changed = text;
    const auto at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) changed.replace(at, from.size(), to);
    return Bytes(changed.begin(), changed.end());
  };
  const struct {
    const char* name;
    Bytes bytes;
  } rows[] = {
      {"a pid without start time", replaced("<key>StartTime</key>", "<key>Other</key>")},
      {"pid zero", replaced("<integer>4242</integer>", "<integer>0</integer>")},
      {"pid out of range", replaced("<integer>4242</integer>", "<integer>99999999999</integer>")},
      {"relative program", replaced("/opt/App.app/Contents/MacOS/Agent", "Agent")},
      {"a bundle program (records hold resolved paths)",
       replaced("<key>Program</key>", "<key>BundleProgram</key>")},
      {"cut short", Bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2))},
      {"empty", Bytes{}},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(decodeAgentRecord(row.bytes)) << row.name;
  }
}

TEST(AgentRegistry, WritesReadsListsAndRemovesRecords) {
  foundation::testing::TemporaryDirectory temporary;
  const AgentRegistry registry(temporary.path() / "config" / "sm", {});
  EXPECT_TRUE(registry.agentNames().empty());
  EXPECT_FALSE(registry.read("Agent.plist"));
  const AgentRecord record{definition, AgentInstance{7, 8}, Instant::fromNanoseconds(9)};
  registry.write("Agent.plist", record);
  EXPECT_EQ(registry.read("Agent.plist"), record);
  EXPECT_EQ(registry.agentNames(), std::vector<std::string>{"Agent.plist"});
  // Made private, parents included.
  for (const auto& directory : {temporary.path() / "config", temporary.path() / "config" / "sm"}) {
    struct stat status {};
    ASSERT_EQ(::lstat(directory.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u) << directory;
  }
  registry.remove("Agent.plist");
  EXPECT_FALSE(registry.read("Agent.plist"));
  EXPECT_TRUE(registry.agentNames().empty());
  for (const auto* name : {"", "../Agent.plist", ".hidden"}) {
    EXPECT_THROW(registry.read(name), ServiceManagementError) << name;
  }
}

// Whoever can write the registrations can have the user run any program.
TEST(AgentRegistry, UsesOnlyAPrivateDirectoryOfTheUserAndNoLinkedRecord) {
  foundation::testing::TemporaryDirectory temporary;
  const auto open = temporary.path() / "open";
  std::filesystem::create_directory(open);
  std::filesystem::permissions(open, std::filesystem::perms(0777));
  const auto target = temporary.path() / "target";
  std::filesystem::create_directory(target);
  const auto linked = temporary.path() / "linked";
  std::filesystem::create_directory_symlink(target, linked);
  for (const auto& directory : {open, linked}) {
    SCOPED_TRACE(directory.string());
    const AgentRegistry registry(directory, {});
    try {
      registry.write("Agent.plist", {definition, std::nullopt, std::nullopt});
      ADD_FAILURE() << "wrote into an unsafe directory";
    } catch (const ServiceManagementError& error) {
      EXPECT_EQ(error.which(), Case::stateUnavailable);
    }
    EXPECT_THROW(registry.lock("Agent.plist"), ServiceManagementError);
  }

  const auto state = temporary.path() / "state";
  const AgentRegistry registry(state, {});
  registry.write("Real.plist", {definition, std::nullopt, std::nullopt});
  std::filesystem::create_symlink(state / "Real.plist.agent", state / "Linked.plist.agent");
  EXPECT_THROW(registry.read("Linked.plist"), ServiceManagementError);
}

}  // namespace
}  // namespace platform::servicemanagement

#include "platform/codesign/elf_identity_reader.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/servicemanagement/agent_definition.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace corvanta {
namespace {

// What the package installs for the router: the program with its identity record, and the
// agent's property list that starts it and names the build's services.
TEST(RouterInstallation, TheBundleHoldsTheRouterWithItsIdentityAndItsPropertyList) {
  platform::foundation::testing::TemporaryDirectory destination;
  const std::string command = "DESTDIR='" + destination.path().string() + "' '" CMAKE_COMMAND "' --install '" +
                              std::string(PROJECT_BINARY_DIR) + "' --component SessionRouter > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  const auto bundle = destination.path() / std::filesystem::path(CORVANTA_BUNDLE_DIR).relative_path();
  const auto definition = platform::servicemanagement::readAgentPropertyList(
      bundle / "Contents/Library/LaunchAgents/SessionRouter.plist", bundle);
  EXPECT_EQ(definition.label, TokenPeerIdentity::routerID);
  EXPECT_EQ(definition.program, bundle / "Contents/MacOS/CorvantaSessionRouter");
  EXPECT_EQ(definition.arguments, std::vector<std::string>{definition.program.string()});
  EXPECT_EQ(definition.machServices, (std::vector<std::string>{TokenPeerIdentity::registrationServiceName(CORVANTA_TEAM_ID),
                                                               TokenPeerIdentity::directoryServiceName(CORVANTA_TEAM_ID)}));

  const platform::foundation::UniqueFd program(::open(definition.program.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(program);
  const auto identity = platform::codesign::readCodeIdentity(platform::codesign::FileSource(program.get()));
  ASSERT_TRUE(identity && identity->record);
  EXPECT_EQ(identity->record->identifier, TokenPeerIdentity::routerID);
  EXPECT_EQ(identity->record->teamID, CORVANTA_TEAM_ID);
  EXPECT_NE(std::filesystem::status(definition.program).permissions() & std::filesystem::perms::owner_exec,
            std::filesystem::perms::none);
}

}  // namespace
}  // namespace corvanta

#include "platform/tokenkit/host/driver_manifest.hpp"
#include "token-support/token_peer_identity.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace corvanta {
namespace {

// The manifest the package installs is one the host reads, under the driver identifier the app
// publishes its configurations for, and it names the executable where the package puts it.
TEST(DriverManifestInstallTest, TheHostFindsTheInstalledExtension) {
  const std::filesystem::path manifest = CORVANTA_TOKEN_MANIFEST;
  EXPECT_EQ(manifest.filename().string(), std::string(TokenPeerIdentity::driverID) + ".json");
  const auto read = platform::tokenkit::readDriverManifest(manifest.parent_path(), std::string(TokenPeerIdentity::driverID));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->executable, std::filesystem::path(CORVANTA_TOKEN_EXECUTABLE));
  EXPECT_EQ(read->executable.filename(), "CorvantaToken");
}

}  // namespace
}  // namespace corvanta

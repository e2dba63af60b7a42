#include "token-support/token_update_state.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace corvanta {
namespace {

TEST(TokenUpdateState, InstallingWhileTheMarkerExistsWhateverItHolds) {
  const platform::foundation::testing::TemporaryDirectory directory;
  const auto marker = directory.path() / "ro.corvanta.sign.installing";
  EXPECT_FALSE(TokenUpdateState::isInstalling(marker));

  directory.write(marker.filename().string(), "");
  EXPECT_TRUE(TokenUpdateState::isInstalling(marker));
  directory.write(marker.filename().string(), "pid 1234\n");
  EXPECT_TRUE(TokenUpdateState::isInstalling(marker));

  std::filesystem::remove(marker);
  EXPECT_FALSE(TokenUpdateState::isInstalling(marker));
}

// The marker is looked at through links, so a link to nowhere is no marker, and one to a
// marker is.
TEST(TokenUpdateState, ALinkCountsByWhatItPointsTo) {
  const platform::foundation::testing::TemporaryDirectory directory;
  const auto marker = directory.path() / "ro.corvanta.sign.installing";
  const auto target = directory.path() / "target";
  std::filesystem::create_symlink(target, marker);
  EXPECT_FALSE(TokenUpdateState::isInstalling(marker));

  directory.write("target", "");
  EXPECT_TRUE(TokenUpdateState::isInstalling(marker));
}

}  // namespace
}  // namespace corvanta

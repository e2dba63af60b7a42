#include "platform/xpc/runtime_directory.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace platform::xpc {
namespace {

class XPCRuntimeDirectory : public ::testing::Test {
protected:
  foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  std::string root_ = temporary_.path().string();
};

TEST_F(XPCRuntimeDirectory, CreatesAMissingDirectoryForTheUserAlone) {
  const auto directory = RuntimeDirectory::at(root_ + "/run/");
  EXPECT_EQ(directory.path(), root_ + "/run");
  struct stat status {};
  ASSERT_EQ(::lstat(directory.path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_EQ(status.st_uid, ::geteuid());
  EXPECT_EQ(RuntimeDirectory::at(root_ + "/run").path(), directory.path());
}

TEST_F(XPCRuntimeDirectory, RefusesDirectoriesOthersCouldUse) {
  using Case = RuntimeDirectoryError::Case;
  struct Row {
    const char* name;
    std::function<void(const std::string&)> prepare;
    Case expected;
  };
  const std::vector<Row> rows = {
      {"open to the group", [](const std::string& p) { ::mkdir(p.c_str(), 0750); ::chmod(p.c_str(), 0750); },
       Case::wrongMode},
      {"a link to a good directory",
       [this](const std::string& p) {
         ::mkdir((root_ + "/target").c_str(), 0700);
         ::symlink((root_ + "/target").c_str(), p.c_str());
       },
       Case::notADirectory},
      {"a plain file", [](const std::string& p) { std::fclose(std::fopen(p.c_str(), "w")); }, Case::notADirectory},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string path = root_ + "/case" + std::to_string(index++);
    row.prepare(path);
    try {
      RuntimeDirectory::at(path);
      ADD_FAILURE() << row.name << ": accepted";
    } catch (const RuntimeDirectoryError& error) {
      EXPECT_EQ(error.which(), row.expected) << row.name;
    }
  }
  EXPECT_THROW(RuntimeDirectory::at(root_ + "/" + std::string(100, 'a')), RuntimeDirectoryError);
  EXPECT_THROW(RuntimeDirectory::at("relative/run"), RuntimeDirectoryError);
}

TEST_F(XPCRuntimeDirectory, RefusesADirectoryOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  const std::string path = root_ + "/theirs";
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  try {
    RuntimeDirectory::at(path);
    ADD_FAILURE() << "accepted";
  } catch (const RuntimeDirectoryError& error) {
    EXPECT_EQ(error.which(), RuntimeDirectoryError::Case::wrongOwner);
  }
}

}  // namespace
}  // namespace platform::xpc

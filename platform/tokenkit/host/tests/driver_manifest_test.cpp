#include "platform/tokenkit/host/driver_manifest.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

using platform::foundation::testing::TemporaryDirectory;

struct ContentsCase {
  std::string name;
  std::string contents;
  std::optional<std::string> executable;
};

TEST(DriverManifestTest, ContentsTable) {
  const std::vector<ContentsCase> cases = {
      {"both keys", R"({"executable":"/opt/ext/Token","principal":"Driver"})", "/opt/ext/Token"},
      {"other keys ignored", R"({"executable":"/a","principal":"D","more":[1]})", "/a"},
      {"relative executable", R"({"executable":"bin/Token","principal":"D"})", std::nullopt},
      {"empty executable", R"({"executable":"","principal":"D"})", std::nullopt},
      {"no executable", R"({"principal":"D"})", std::nullopt},
      {"no principal", R"({"executable":"/a"})", std::nullopt},
      {"executable not a text", R"({"executable":1,"principal":"D"})", std::nullopt},
      {"duplicate key", R"({"executable":"/a","executable":"/b","principal":"D"})", std::nullopt},
      {"not an object", R"(["/a"])", std::nullopt},
      {"not JSON", "executable=/a", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const auto manifest = parseDriverManifest(testCase.contents);
    if (testCase.executable) {
      ASSERT_TRUE(manifest);
      EXPECT_EQ(manifest->executable, std::filesystem::path(*testCase.executable));
    } else {
      EXPECT_FALSE(manifest);
    }
  }
}

TEST(DriverManifestTest, FilesTable) {
  const TemporaryDirectory directory;
  const std::string good = R"({"executable":"/opt/ext/Token","principal":"Driver"})";
  directory.write("ro.test.Driver.json", good);
  directory.write("target.json", good);
  std::filesystem::create_symlink(directory.path() / "target.json", directory.path() / "ro.test.Linked.json");
  std::filesystem::create_directory(directory.path() / "ro.test.Directory.json");
  ASSERT_EQ(::mkfifo((directory.path() / "ro.test.Fifo.json").c_str(), 0600), 0);
  directory.write("ro.test.Large.json", std::string(R"({"executable":"/a","principal":")") +
                                            std::string(64 * 1024, 'x') + "\"}");
  directory.write(".hidden.json", good);
  // Exactly as large as a manifest may be.
  const std::string prefix = R"({"executable":"/opt/ext/Token","principal":")";
  directory.write("ro.test.Limit.json", prefix + std::string(64 * 1024 - prefix.size() - 2, 'x') + "\"}");

  struct FileCase {
    std::string driverID;
    bool found;
  };
  const std::vector<FileCase> cases = {
      {"ro.test.Driver", true},  {"ro.test.Missing", false}, {"ro.test.Linked", false},
      {"ro.test.Directory", false}, {"ro.test.Fifo", false},   {"ro.test.Large", false},
      {"ro.test.Limit", true},
      {".hidden", false},        {"../" + directory.path().filename().string() + "/ro.test.Driver", false},
      {"", false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.driverID);
    const auto manifest = readDriverManifest(directory.path(), testCase.driverID);
    EXPECT_EQ(manifest.has_value(), testCase.found);
    if (manifest) {
      EXPECT_EQ(manifest->executable, std::filesystem::path("/opt/ext/Token"));
    }
  }
}

}  // namespace
}  // namespace platform::tokenkit

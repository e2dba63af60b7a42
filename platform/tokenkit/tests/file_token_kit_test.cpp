#include "platform/tokenkit/file_token_kit.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"

#include "platform/tokenkit/store_format.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace platform::tokenkit {
namespace {

namespace fs = std::filesystem;
using platform::foundation::testing::TemporaryDirectory;
using namespace std::string_literals;

const std::string driverID = "ro.corvanta.sign.CorvantaToken";

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, ByteView contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

int errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  return 0;
}

// Opening a link with O_NOFOLLOW | O_DIRECTORY fails with one of these, as the kernel decides.
const auto linkRefused = ::testing::AnyOf(ELOOP, ENOTDIR);

KeychainKey signingKey() {
  KeychainKey key;
  key.objectID = "key:ab";
  key.label = "Corvanta Sign";
  key.certificateDER = Bytes{0x30, 0x01, 0x00};
  key.canSign = true;
  key.canPerformKeyExchange = true;
  key.isSuitableForLogin = true;
  key.constraints = {
      {Operation::readData, Constraint(true)},
      {Operation::signData, Constraint("corvanta.totp.per-request.v1"s)},
      {Operation::decryptData, Constraint(false)},
  };
  return key;
}

class FileTokenKitTest : public ::testing::Test {
protected:
  // Forks a process that opens the store on its own and runs `write` on configuration "a" of the
  // driver; it exits 0 when every write went through. The child's pid, or -1.
  pid_t writeInAChild(const std::function<void(TokenConfiguration&)>& write) const {
    const pid_t child = fork();
    if (child != 0) return child;
    int status = 0;
    try {
      const FileTokenKit childKit(root());
      write(*childKit.driverConfigurations().at(driverID)->tokenConfigurations().at("a"));
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }

  fs::path root() const { return directory.path() / "store"; }
  fs::path driverDirectory() const { return root() / "drivers" / driverID; }
  fs::path configurationFile(const std::string& instanceID) const {
    return driverDirectory() / (*identifierFileName(instanceID) + ".token");
  }

  std::shared_ptr<DriverConfiguration> driver(const FileTokenKit& kit) const {
    auto drivers = kit.driverConfigurations();
    const auto found = drivers.find(driverID);
    if (found == drivers.end()) throw std::runtime_error("the driver is not installed");
    return found->second;
  }

  std::vector<std::string> instanceIDs(const FileTokenKit& kit) const {
    std::vector<std::string> ids;
    for (const auto& [id, configuration] : driver(kit)->tokenConfigurations()) ids.push_back(id);
    return ids;
  }

  std::vector<std::string> leftoverTemporaryFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root())) {
      if (entry.path().filename().string().starts_with(".tmp-")) names.push_back(entry.path().string());
    }
    return names;
  }

  TemporaryDirectory directory;
  TemporaryDirectory elsewhere;
};

TEST_F(FileTokenKitTest, EveryFieldAndTheDataRoundTripBetweenTwoStoresOnOneDirectory) {
  FileTokenKit writer(root());
  writer.installDriver(driverID);
  const FileTokenKit reader(root());
  const std::vector<std::optional<Bytes>> dataCases = {std::nullopt, Bytes{}, bytesOf("{\"version\":1}")};
  const std::vector<KeychainItem> items = {
      KeychainCertificate{"cert:ab", "Corvanta Sign", Bytes{0x30, 0x02, 0x05, 0x00}}, signingKey()};

  for (const auto& data : dataCases) {
    const auto written = driver(writer)->addTokenConfiguration("ab");
    written->setConfigurationData(data);
    written->setKeychainItems(items);

    const auto configurations = driver(reader)->tokenConfigurations();
    ASSERT_EQ(configurations.size(), 1U);
    const auto& read = configurations.at("ab");
    EXPECT_EQ(read->instanceID(), "ab");
    EXPECT_EQ(read->configurationData(), data);
    EXPECT_EQ(read->keychainItems(), items);
  }
}

TEST_F(FileTokenKitTest, ADriverExistsOnlyOnceInstalled) {
  FileTokenKit kit(root());
  EXPECT_TRUE(kit.driverConfigurations().empty());
  // A directory without a manifest, or with a manifest of another driver, is no installed driver.
  fs::create_directories(driverDirectory());
  fs::permissions(root() / "drivers", fs::perms::owner_all);
  fs::permissions(driverDirectory(), fs::perms::owner_all);
  EXPECT_TRUE(kit.driverConfigurations().empty());
  writeFile(driverDirectory() / "manifest", *encodeDriverManifest("another.driver"));
  EXPECT_TRUE(kit.driverConfigurations().empty());

  kit.installDriver(driverID);
  const auto drivers = kit.driverConfigurations();
  ASSERT_EQ(drivers.size(), 1U);
  EXPECT_EQ(drivers.at(driverID)->driverID(), driverID);
  EXPECT_TRUE(drivers.at(driverID)->tokenConfigurations().empty());

  const auto generation = kit.generation();
  kit.installDriver(driverID);
  EXPECT_EQ(kit.generation(), generation);
  EXPECT_EQ(kit.driverConfigurations().size(), 1U);
}

TEST_F(FileTokenKitTest, AddReplacesAndRemoveRemoves) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto first = driver(kit)->addTokenConfiguration("a");
  first->setConfigurationData(bytesOf("A"));
  first->setKeychainItems({signingKey()});
  driver(kit)->addTokenConfiguration("b");
  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"a", "b"}));

  // Adding again gives a new, empty configuration of that identifier.
  driver(kit)->addTokenConfiguration("a");
  EXPECT_EQ(first->configurationData(), std::nullopt);
  EXPECT_TRUE(first->keychainItems().empty());
  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"a", "b"}));

  driver(kit)->removeTokenConfiguration("a");
  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"b"}));
  const auto generation = kit.generation();
  driver(kit)->removeTokenConfiguration("a");
  driver(kit)->removeTokenConfiguration("never");
  EXPECT_EQ(kit.generation(), generation);
  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"b"}));
}

TEST_F(FileTokenKitTest, TheHandleOfARemovedConfigurationReadsEmptyAndWritesNothing) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto handle = driver(kit)->addTokenConfiguration("a");
  handle->setConfigurationData(bytesOf("A"));
  driver(kit)->removeTokenConfiguration("a");
  const auto generation = kit.generation();

  EXPECT_EQ(handle->instanceID(), "a");
  EXPECT_EQ(handle->configurationData(), std::nullopt);
  EXPECT_TRUE(handle->keychainItems().empty());
  handle->setConfigurationData(bytesOf("again"));
  handle->setKeychainItems({signingKey()});
  EXPECT_FALSE(fs::exists(configurationFile("a")));
  EXPECT_TRUE(driver(kit)->tokenConfigurations().empty());
  EXPECT_EQ(kit.generation(), generation);
}

TEST_F(FileTokenKitTest, AReaderNeverSeesATornFileWhileAnotherProcessWrites) {
  constexpr int writes = 60;
  constexpr std::size_t unit = 64 * 1024;
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto configuration = driver(kit)->addTokenConfiguration("a");
  configuration->setConfigurationData(Bytes(unit, 0));

  // The child writes data whose size follows from its bytes, so a partial file shows.
  const pid_t child = writeInAChild([&](TokenConfiguration& childConfiguration) {
    for (int i = 1; i <= writes; ++i) {
      const auto value = static_cast<std::uint8_t>(i);
      childConfiguration.setConfigurationData(Bytes(unit * (1 + value % 4), value));
    }
  });
  ASSERT_GE(child, 0);

  int reads = 0;
  int childStatus = 0;
  bool childDone = false;
  std::uint8_t last = 0;
  while (!childDone && reads < 1'000'000) {
    childDone = waitpid(child, &childStatus, WNOHANG) == child;
    const auto data = configuration->configurationData();
    const auto raw = decodeTokenConfiguration(readFile(configurationFile("a")));
    ++reads;
    ASSERT_TRUE(data) << "read " << reads;
    ASSERT_TRUE(raw) << "read " << reads;
    ASSERT_FALSE(data->empty());
    const auto value = data->front();
    ASSERT_EQ(data->size(), unit * (1 + value % 4)) << "read " << reads;
    ASSERT_EQ(std::count(data->begin(), data->end(), value), static_cast<std::ptrdiff_t>(data->size()));
    last = value;
  }
  if (!childDone) {
    kill(child, SIGKILL);
    waitpid(child, &childStatus, 0);
    FAIL() << "the writer did not finish";
  }
  EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
  EXPECT_EQ(last, writes);
  EXPECT_GT(reads, 1);
}

TEST_F(FileTokenKitTest, WritersInTwoProcessesLoseNoChangeOfEachOther) {
  constexpr int writes = 40;
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto configuration = driver(kit)->addTokenConfiguration("a");
  const auto generation = kit.generation();

  // Each write reads what is stored and writes it back changed: without the lock, one process
  // would write back what the other just replaced, and the generation would miss a step.
  const pid_t child = writeInAChild([&](TokenConfiguration& childConfiguration) {
    for (int i = 1; i <= writes; ++i) childConfiguration.setConfigurationData(Bytes{static_cast<std::uint8_t>(i)});
  });
  ASSERT_GE(child, 0);
  for (int i = 1; i <= writes; ++i) {
    auto key = signingKey();
    key.label = std::to_string(i);
    configuration->setKeychainItems({key});
  }
  int childStatus = 0;
  ASSERT_EQ(waitpid(child, &childStatus, 0), child);
  ASSERT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);

  EXPECT_EQ(kit.generation(), generation + 2 * writes);
  EXPECT_EQ(configuration->configurationData(), Bytes{writes});
  const auto items = configuration->keychainItems();
  ASSERT_EQ(items.size(), 1U);
  EXPECT_EQ(std::get<KeychainKey>(items.front()).label, std::to_string(writes));
}

TEST_F(FileTokenKitTest, ATemporaryFileLeftByACrashIsIgnoredAndRemovedByTheNextWrite) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  driver(kit)->addTokenConfiguration("a")->setConfigurationData(bytesOf("A"));
  // What a writer that died between writing and renaming leaves: a partial file, maybe a whole one.
  const auto whole = readFile(configurationFile("a"));
  writeFile(driverDirectory() / ".tmp-0123456789abcdef01234567", ByteView(whole).first(whole.size() / 2));
  writeFile(driverDirectory() / ".tmp-89abcdef0123456789abcdef", whole);
  writeFile(root() / ".tmp-0000", encodeGeneration(99));

  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"a"}));
  EXPECT_EQ(driver(kit)->tokenConfigurations().at("a")->configurationData(), bytesOf("A"));
  EXPECT_LT(kit.generation(), 99U);

  driver(kit)->addTokenConfiguration("b");
  EXPECT_TRUE(leftoverTemporaryFiles().empty());
  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"a", "b"}));
}

TEST_F(FileTokenKitTest, ARootThatIsALinkIsRefused) {
  fs::create_directory_symlink(elsewhere.path(), root());
  EXPECT_THAT(errorOf([&] { FileTokenKit kit(root()); }), linkRefused);
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST_F(FileTokenKitTest, LinkedDirectoriesAreNeitherReadNorWrittenThrough) {
  // A valid store elsewhere, which a link in ours must not make ours.
  {
    FileTokenKit other(elsewhere.path() / "store");
    other.installDriver(driverID);
    driver(other)->addTokenConfiguration("a");
  }
  const auto otherDrivers = elsewhere.path() / "store" / "drivers";
  struct Case {
    const char* name;
    fs::path link;
    fs::path target;
  };
  const std::vector<Case> cases = {
      {"drivers", root() / "drivers", otherDrivers},
      {"driver directory", driverDirectory(), otherDrivers / driverID},
  };
  for (const auto& c : cases) {
    TemporaryDirectory fresh;
    const auto freshRoot = fresh.path() / "store";
    const auto relink = [&](const fs::path& path) { return freshRoot / fs::relative(path, root()); };
    FileTokenKit kit(freshRoot);
    if (c.link.parent_path() != root()) {
      fs::create_directory(relink(c.link.parent_path()));
      fs::permissions(relink(c.link.parent_path()), fs::perms::owner_all);
    }
    fs::create_directory_symlink(c.target, relink(c.link));
    const auto targetBefore = readFile(otherDrivers / driverID / (*identifierFileName("a") + ".token"));

    EXPECT_TRUE(kit.driverConfigurations().empty()) << c.name;
    EXPECT_THAT(errorOf([&] { kit.installDriver(driverID); }), linkRefused) << c.name;
    EXPECT_EQ(readFile(otherDrivers / driverID / (*identifierFileName("a") + ".token")), targetBefore) << c.name;
    EXPECT_EQ(std::distance(fs::directory_iterator(otherDrivers / driverID), {}), 2) << c.name;
  }
}

TEST_F(FileTokenKitTest, AConfigurationFileReplacedByALinkIsNeverFollowed) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  driver(kit)->addTokenConfiguration("a");
  const auto handle = driver(kit)->tokenConfigurations().at("a");
  // A valid configuration of the same identifier, outside the store.
  const auto outside = elsewhere.path() / "a.token";
  writeFile(outside, *encodeTokenConfiguration({"a", bytesOf("outside"), {}}));
  const auto outsideBefore = readFile(outside);
  fs::remove(configurationFile("a"));
  fs::create_symlink(outside, configurationFile("a"));

  EXPECT_TRUE(driver(kit)->tokenConfigurations().empty());
  EXPECT_EQ(handle->configurationData(), std::nullopt);
  handle->setConfigurationData(bytesOf("through the link"));
  EXPECT_EQ(readFile(outside), outsideBefore);

  // A new configuration replaces the link itself.
  driver(kit)->addTokenConfiguration("a")->setConfigurationData(bytesOf("inside"));
  EXPECT_FALSE(fs::is_symlink(configurationFile("a")));
  EXPECT_EQ(readFile(outside), outsideBefore);
  EXPECT_EQ(handle->configurationData(), bytesOf("inside"));
}

TEST_F(FileTokenKitTest, ALockFileThatIsALinkStopsEveryWrite) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  fs::remove(root() / "lock");
  fs::create_symlink(elsewhere.path() / "created-through-link", root() / "lock");
  EXPECT_EQ(errorOf([&] { driver(kit)->addTokenConfiguration("a"); }), ELOOP);
  EXPECT_FALSE(fs::exists(elsewhere.path() / "created-through-link"));
  EXPECT_TRUE(driver(kit)->tokenConfigurations().empty());
}

TEST_F(FileTokenKitTest, TheStoreIsPrivateToTheUser) {
  const auto oldMask = umask(0);
  {
    FileTokenKit kit(root());
    kit.installDriver(driverID);
    driver(kit)->addTokenConfiguration("a");
  }
  umask(oldMask);
  for (const auto& path : {root(), root() / "drivers", driverDirectory()}) {
    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700U) << path;
  }
  for (const auto& path : {root() / "lock", root() / "generation", driverDirectory() / "manifest", configurationFile("a")}) {
    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600U) << path;
  }
}

TEST_F(FileTokenKitTest, ADirectoryOthersMayUseIsRefused) {
  for (const auto mode : {0750, 0705, 0702, 0777}) {
    TemporaryDirectory fresh;
    const auto path = fresh.path() / "store";
    fs::create_directory(path);
    ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
    EXPECT_EQ(errorOf([&] { FileTokenKit kit(path); }), EPERM) << std::oct << mode;
  }
  // The same for a directory inside the store.
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  ASSERT_EQ(chmod(driverDirectory().c_str(), 0755), 0);
  EXPECT_TRUE(kit.driverConfigurations().empty());
  EXPECT_EQ(errorOf([&] { kit.installDriver(driverID); }), EPERM);
}

TEST_F(FileTokenKitTest, ADirectoryOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "making a directory of another user needs root";
  fs::create_directory(root());
  fs::permissions(root(), fs::perms::owner_all);
  ASSERT_EQ(chown(root().c_str(), 65534, 65534), 0);
  EXPECT_EQ(errorOf([&] { FileTokenKit kit(root()); }), EPERM);
}

TEST_F(FileTokenKitTest, HostileIdentifiersStayInsideTheStoreOrAreRefused) {
  FileTokenKit kit(root());
  for (const auto& hostile : {"..", ".", "../../escape", "/absolute", ".tmp-x"}) {
    kit.installDriver(hostile);
    const auto drivers = kit.driverConfigurations();
    ASSERT_TRUE(drivers.contains(hostile)) << hostile;
    drivers.at(hostile)->addTokenConfiguration(hostile)->setConfigurationData(bytesOf(hostile));
    EXPECT_EQ(kit.driverConfigurations().at(hostile)->tokenConfigurations().at(hostile)->configurationData(),
              bytesOf(hostile));
  }
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), {}), 1);
  EXPECT_FALSE(fs::exists(directory.path() / "escape"));
  EXPECT_TRUE(leftoverTemporaryFiles().empty());

  kit.installDriver(driverID);
  const auto generation = kit.generation();
  for (const auto& refused : {""s, "a\0b"s, std::string(maximumIdentifierLength + 1, 'a')}) {
    EXPECT_EQ(errorOf([&] { kit.installDriver(refused); }), EINVAL) << refused.size();
    EXPECT_EQ(errorOf([&] { driver(kit)->addTokenConfiguration(refused); }), EINVAL) << refused.size();
    driver(kit)->removeTokenConfiguration(refused);
  }
  EXPECT_EQ(kit.generation(), generation);
  EXPECT_EQ(kit.driverConfigurations().size(), 6U);
}

TEST_F(FileTokenKitTest, FilesThatAreNotConfigurationsOfTheirNameAreSkipped) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  driver(kit)->addTokenConfiguration("good")->setConfigurationData(bytesOf("G"));
  const auto good = readFile(configurationFile("good"));
  auto oversized = *encodeTokenConfiguration({"big", Bytes(maximumStoreFileSize, 1), {}});

  writeFile(configurationFile("garbage"), bytesOf("not a configuration"));
  writeFile(configurationFile("big"), oversized);
  writeFile(configurationFile("copied"), good);  // says it is "good"
  writeFile(driverDirectory() / "%2e%2e.token", *encodeTokenConfiguration({"..", std::nullopt, {}}));
  writeFile(driverDirectory() / "noSuffix", *encodeTokenConfiguration({"noSuffix", std::nullopt, {}}));
  fs::create_directory(configurationFile("directory"));
  ASSERT_EQ(mkfifo(configurationFile("fifo").c_str(), 0600), 0);

  EXPECT_EQ(instanceIDs(kit), (std::vector<std::string>{"good"}));
  EXPECT_EQ(driver(kit)->tokenConfigurations().at("good")->configurationData(), bytesOf("G"));
}

TEST_F(FileTokenKitTest, AConfigurationTooLargeToStoreIsRefusedAndChangesNothing) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto configuration = driver(kit)->addTokenConfiguration("a");
  configuration->setConfigurationData(bytesOf("before"));
  const auto generation = kit.generation();

  EXPECT_EQ(errorOf([&] { configuration->setConfigurationData(Bytes(maximumStoreFileSize, 0)); }), EFBIG);
  EXPECT_EQ(configuration->configurationData(), bytesOf("before"));
  EXPECT_EQ(kit.generation(), generation);
}

// The file size limit makes writes fail as a full disk would. Its signal would end the process.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
  rlimit saved_{};
  sighandler_t previousHandler_ = SIG_DFL;
};

TEST_F(FileTokenKitTest, AWriteThatFailsChangesNothing) {
  FileTokenKit kit(root());
  kit.installDriver(driverID);
  const auto configuration = driver(kit)->addTokenConfiguration("a");
  configuration->setConfigurationData(bytesOf("before"));
  configuration->setKeychainItems({signingKey()});
  const auto generation = kit.generation();
  const auto fileBefore = readFile(configurationFile("a"));

  {
    const FileSizeLimit limit(4096);
    EXPECT_EQ(errorOf([&] { configuration->setConfigurationData(Bytes(100'000, 7)); }), EFBIG);
    EXPECT_EQ(errorOf([&] { driver(kit)->addTokenConfiguration("b")->setConfigurationData(Bytes(100'000, 7)); }), EFBIG);
  }
  // A directory where the file belongs makes the rename fail.
  fs::create_directory(configurationFile("c"));
  const auto generationBeforeRename = kit.generation();
  EXPECT_EQ(errorOf([&] { driver(kit)->addTokenConfiguration("c"); }), EISDIR);
  EXPECT_EQ(kit.generation(), generationBeforeRename);

  // And a directory where the generation belongs, before anything changed.
  fs::create_directory(root() / "generation.new");
  fs::rename(root() / "generation", root() / "generation.old");
  fs::rename(root() / "generation.new", root() / "generation");
  EXPECT_EQ(errorOf([&] { driver(kit)->removeTokenConfiguration("a"); }), EISDIR);
  EXPECT_EQ(errorOf([&] { configuration->setConfigurationData(bytesOf("after")); }), EISDIR);
  fs::remove(root() / "generation");
  fs::rename(root() / "generation.old", root() / "generation");

  EXPECT_EQ(readFile(configurationFile("a")), fileBefore);
  EXPECT_EQ(configuration->configurationData(), bytesOf("before"));
  EXPECT_EQ(configuration->keychainItems(), std::vector<KeychainItem>{signingKey()});
  EXPECT_TRUE(leftoverTemporaryFiles().empty());
  // Adding "b" itself succeeded before its data failed.
  EXPECT_EQ(kit.generation(), generation + 1);
}

TEST_F(FileTokenKitTest, EveryChangeMovesTheGenerationOnForEveryReader) {
  FileTokenKit writer(root());
  const FileTokenKit reader(root());
  EXPECT_EQ(reader.generation(), 0U);
  TokenKitChangeWatcher watcher(root());
  EXPECT_FALSE(watcher.takeChange());
  EXPECT_NE(fcntl(watcher.descriptor(), F_GETFD) & FD_CLOEXEC, 0);

  std::uint64_t seen = reader.generation();
  const auto expectChange = [&](const char* what) {
    EXPECT_GT(reader.generation(), seen) << what;
    seen = reader.generation();
    pollfd readable{watcher.descriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 1) << what;
    EXPECT_TRUE(watcher.takeChange()) << what;
    EXPECT_FALSE(watcher.takeChange()) << what;
  };
  writer.installDriver(driverID);
  expectChange("install");
  const auto configuration = driver(writer)->addTokenConfiguration("a");
  expectChange("add");
  configuration->setConfigurationData(bytesOf("A"));
  expectChange("data");
  configuration->setKeychainItems({signingKey()});
  expectChange("items");
  driver(writer)->removeTokenConfiguration("a");
  expectChange("remove");
}

TEST(UserTokenKitDirectory, LiesInTheHomeOfTheUserDatabaseWhateverTheEnvironmentSays) {
  const char* saved = std::getenv("HOME");
  const std::string savedHome = saved ? saved : "";
  setenv("HOME", "/nonexistent-home", 1);
  const auto path = userTokenKitDirectory();
  if (saved) {
    setenv("HOME", savedHome.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  EXPECT_FALSE(path.string().starts_with("/nonexistent-home"));
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(path.string().ends_with("/.local/share/ro.corvanta.sign/tokenkit")) << path;
}

}  // namespace
}  // namespace platform::tokenkit

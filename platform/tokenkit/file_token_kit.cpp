#include "platform/tokenkit/file_token_kit.hpp"

#include "platform/tokenkit/store_files.hpp"
#include "platform/tokenkit/store_format.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace platform::tokenkit {

using detail::DirectoryAccess;
using detail::UniqueFd;

struct FileTokenKit::Store {
  UniqueFd root;
};

namespace {

using Store = FileTokenKit::Store;

const std::string lockName = "lock";
const std::string generationName = "generation";
const std::string driversName = "drivers";
const std::string manifestName = "manifest";
constexpr std::string_view configurationSuffix = ".token";

std::string fileNameOrThrow(const std::string& identifier) {
  auto name = identifierFileName(identifier);
  if (!name) detail::throwSystemError(EINVAL, "a token-kit identifier that cannot be a file name");
  return *name;
}

std::string configurationFileName(const std::string& instanceID) {
  return fileNameOrThrow(instanceID) + std::string(configurationSuffix);
}

std::optional<std::string> instanceIDOfFileName(std::string_view fileName) {
  if (!fileName.ends_with(configurationSuffix)) return std::nullopt;
  fileName.remove_suffix(configurationSuffix.size());
  return identifierOfFileName(fileName);
}

std::uint64_t readGeneration(int root) {
  const auto file = detail::readRegularFile(root, generationName, maximumStoreFileSize);
  if (!file) return 0;
  return decodeGeneration(*file).value_or(0);
}

// The directory of an installed driver: one whose manifest names it. None otherwise.
std::optional<UniqueFd> openInstalledDriver(int root, const std::string& driverID) {
  const auto name = identifierFileName(driverID);
  if (!name) return std::nullopt;
  auto drivers = detail::openChildDirectory(root, driversName, DirectoryAccess::ownedPrivate, false);
  if (!drivers.fd) return std::nullopt;
  auto driver = detail::openChildDirectory(drivers.fd.get(), *name, DirectoryAccess::ownedPrivate, false);
  if (!driver.fd) return std::nullopt;
  const auto manifest = detail::readRegularFile(driver.fd.get(), manifestName, maximumStoreFileSize);
  if (!manifest || decodeDriverManifest(*manifest) != driverID) return std::nullopt;
  return std::move(driver.fd);
}

std::optional<StoredTokenConfiguration> readConfiguration(int driverDirectory, const std::string& instanceID) {
  const auto name = identifierFileName(instanceID);
  if (!name) return std::nullopt;
  const auto file =
      detail::readRegularFile(driverDirectory, *name + std::string(configurationSuffix), maximumStoreFileSize);
  if (!file) return std::nullopt;
  auto configuration = decodeTokenConfiguration(*file);
  // A file put under another configuration's name is not that configuration.
  if (!configuration || configuration->instanceID != instanceID) return std::nullopt;
  return configuration;
}

// One write of the store: the lock held, leftovers of a dead writer gone, and, once the change
// is in place, the generation moved on.
class StoreWrite {
public:
  explicit StoreWrite(int root) : root_(root), lock_(root) { detail::removeLeftoverTemporaryFiles(root_); }

  // The directory of an installed driver, with its leftovers gone; throws ENOENT for another.
  UniqueFd installedDriver(const std::string& driverID) {
    auto driver = openInstalledDriver(root_, driverID);
    if (!driver) detail::throwSystemError(ENOENT, "a token driver that is not installed");
    detail::removeLeftoverTemporaryFiles(driver->get());
    return std::move(*driver);
  }

  // The generation's new file is written before the change, and a directory in its place refused,
  // so that what is left to do after the change is a rename that only an I/O error stops: a
  // failure to prepare it leaves the store as it was.
  detail::PendingFile nextGeneration() const {
    if (detail::isDirectory(root_, generationName)) detail::throwSystemError(EISDIR, "the token-kit generation");
    return detail::PendingFile(root_, generationName, encodeGeneration(readGeneration(root_) + 1));
  }

  // After the change is in place the write must not report that nothing changed; a generation
  // that an I/O error kept back moves on with the next write.
  static void commitAfterChange(detail::PendingFile& generation) {
    try {
      generation.commit();
    } catch (const std::system_error&) {
    }
  }

private:
  int root_;
  detail::StoreLock lock_;
};

Bytes encodeOrThrow(const StoredTokenConfiguration& configuration) {
  auto file = encodeTokenConfiguration(configuration);
  if (!file) detail::throwSystemError(EINVAL, "a token configuration that cannot be stored");
  if (file->size() > maximumStoreFileSize) detail::throwSystemError(EFBIG, "a token configuration too large to store");
  return std::move(*file);
}

void replaceConfiguration(int driverDirectory, const StoredTokenConfiguration& configuration, StoreWrite& write) {
  detail::PendingFile file(driverDirectory, configurationFileName(configuration.instanceID),
                           encodeOrThrow(configuration));
  auto generation = write.nextGeneration();
  file.commit();
  StoreWrite::commitAfterChange(generation);
}

class FileTokenConfiguration final : public TokenConfiguration {
public:
  FileTokenConfiguration(std::shared_ptr<const Store> store, std::string driverID, std::string instanceID)
      : store_(std::move(store)), driverID_(std::move(driverID)), instanceID_(std::move(instanceID)) {}

  std::string instanceID() const override { return instanceID_; }

  std::optional<Bytes> configurationData() const override {
    auto stored = read();
    return stored ? std::move(stored->configurationData) : std::nullopt;
  }

  void setConfigurationData(std::optional<Bytes> data) override {
    update([&](StoredTokenConfiguration& stored) { stored.configurationData = std::move(data); });
  }

  std::vector<KeychainItem> keychainItems() const override {
    auto stored = read();
    return stored ? std::move(stored->keychainItems) : std::vector<KeychainItem>{};
  }

  void setKeychainItems(std::vector<KeychainItem> items) override {
    update([&](StoredTokenConfiguration& stored) { stored.keychainItems = std::move(items); });
  }

private:
  std::optional<StoredTokenConfiguration> read() const {
    const auto driver = openInstalledDriver(store_->root.get(), driverID_);
    if (!driver) return std::nullopt;
    return readConfiguration(driver->get(), instanceID_);
  }

  // Read, change and write under the lock, so that a write of the data and one of the items,
  // from two processes, both last.
  template <typename Change>
  void update(Change&& change) {
    const int root = store_->root.get();
    StoreWrite write(root);
    const auto driver = openInstalledDriver(root, driverID_);
    if (!driver) return;
    auto stored = readConfiguration(driver->get(), instanceID_);
    if (!stored) return;
    detail::removeLeftoverTemporaryFiles(driver->get());
    change(*stored);
    replaceConfiguration(driver->get(), *stored, write);
  }

  std::shared_ptr<const Store> store_;
  std::string driverID_;
  std::string instanceID_;
};

class FileDriverConfiguration final : public DriverConfiguration {
public:
  FileDriverConfiguration(std::shared_ptr<const Store> store, std::string driverID)
      : store_(std::move(store)), driverID_(std::move(driverID)) {}

  std::string driverID() const override { return driverID_; }

  std::map<std::string, std::shared_ptr<TokenConfiguration>> tokenConfigurations() const override {
    std::map<std::string, std::shared_ptr<TokenConfiguration>> configurations;
    const auto driver = openInstalledDriver(store_->root.get(), driverID_);
    if (!driver) return configurations;
    for (const auto& name : detail::directoryEntries(driver->get())) {
      const auto instanceID = instanceIDOfFileName(name);
      if (!instanceID || !readConfiguration(driver->get(), *instanceID)) continue;
      configurations.emplace(*instanceID, std::make_shared<FileTokenConfiguration>(store_, driverID_, *instanceID));
    }
    return configurations;
  }

  std::shared_ptr<TokenConfiguration> addTokenConfiguration(const std::string& instanceID) override {
    const int root = store_->root.get();
    StoreWrite write(root);
    const auto driver = write.installedDriver(driverID_);
    replaceConfiguration(driver.get(), StoredTokenConfiguration{instanceID, std::nullopt, {}}, write);
    return std::make_shared<FileTokenConfiguration>(store_, driverID_, instanceID);
  }

  void removeTokenConfiguration(const std::string& instanceID) override {
    const auto name = identifierFileName(instanceID);
    if (!name) return;
    const auto fileName = *name + std::string(configurationSuffix);
    const int root = store_->root.get();
    StoreWrite write(root);
    const auto driver = openInstalledDriver(root, driverID_);
    if (!driver || !detail::entryExists(driver->get(), fileName)) return;
    auto generation = write.nextGeneration();
    detail::removeFile(driver->get(), fileName);
    StoreWrite::commitAfterChange(generation);
  }

private:
  std::shared_ptr<const Store> store_;
  std::string driverID_;
};

std::shared_ptr<const Store> openStore(UniqueFd root) {
  auto store = std::make_shared<Store>();
  store->root = std::move(root);
  return store;
}

std::filesystem::path homeDirectory() {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  int error = 0;
  while ((error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0) detail::throwSystemError(error, "reading the user's home directory");
  if (result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] != '/') {
    detail::throwSystemError(ENOENT, "the user has no home directory");
  }
  return std::filesystem::path(result->pw_dir);
}

// Below home: the directories anyone may find in a home, then the system's own.
const std::array<std::pair<const char*, DirectoryAccess>, 4> userStoreSteps{{
    {".local", DirectoryAccess::ownedNotWritableByOthers},
    {"share", DirectoryAccess::ownedNotWritableByOthers},
    {"ro.corvanta.sign", DirectoryAccess::ownedPrivate},
    {"tokenkit", DirectoryAccess::ownedPrivate},
}};

}  // namespace

FileTokenKit::FileTokenKit(const std::filesystem::path& root) {
  auto path = root.lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  const auto parent = detail::openDirectoryAtPath(path.has_parent_path() ? path.parent_path() : ".");
  const auto name = path.filename().string();
  if (name.empty() || name == "." || name == "..") detail::throwSystemError(EINVAL, "a token-kit directory name");
  store_ = openStore(detail::requireChildDirectory(parent.get(), name, DirectoryAccess::ownedPrivate, true));
}

FileTokenKit::FileTokenKit(std::shared_ptr<const Store> store) : store_(std::move(store)) {}

void FileTokenKit::installDriver(const std::string& driverID) {
  const auto name = fileNameOrThrow(driverID);
  const int root = store_->root.get();
  StoreWrite write(root);
  if (openInstalledDriver(root, driverID)) return;
  const auto drivers = detail::requireChildDirectory(root, driversName, DirectoryAccess::ownedPrivate, true);
  const auto driver = detail::requireChildDirectory(drivers.get(), name, DirectoryAccess::ownedPrivate, true);
  detail::removeLeftoverTemporaryFiles(driver.get());
  detail::PendingFile manifest(driver.get(), manifestName, *encodeDriverManifest(driverID));
  auto generation = write.nextGeneration();
  manifest.commit();
  StoreWrite::commitAfterChange(generation);
}

std::uint64_t FileTokenKit::generation() const { return readGeneration(store_->root.get()); }

std::map<std::string, std::shared_ptr<DriverConfiguration>> FileTokenKit::driverConfigurations() const {
  std::map<std::string, std::shared_ptr<DriverConfiguration>> drivers;
  const int root = store_->root.get();
  const auto directory = detail::openChildDirectory(root, driversName, DirectoryAccess::ownedPrivate, false);
  if (!directory.fd) return drivers;
  for (const auto& name : detail::directoryEntries(directory.fd.get())) {
    const auto driverID = identifierOfFileName(name);
    if (!driverID || !openInstalledDriver(root, *driverID)) continue;
    drivers.emplace(*driverID, std::make_shared<FileDriverConfiguration>(store_, *driverID));
  }
  return drivers;
}

std::filesystem::path userTokenKitDirectory() {
  auto path = homeDirectory();
  for (const auto& [name, access] : userStoreSteps) path /= name;
  return path;
}

std::unique_ptr<FileTokenKit> systemTokenKit() {
  auto directory = detail::openDirectoryAtPath(homeDirectory());
  for (const auto& [name, access] : userStoreSteps) {
    directory = detail::requireChildDirectory(directory.get(), name, access, true);
  }
  return std::unique_ptr<FileTokenKit>(new FileTokenKit(openStore(std::move(directory))));
}

TokenKitChangeWatcher::TokenKitChangeWatcher(const std::filesystem::path& root)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0) detail::throwSystemError(errno, "watching the token-kit store");
  // The generation file is only ever renamed into place, so a rename into the directory is the
  // one event that tells of a change.
  if (inotify_add_watch(fd_, root.c_str(), IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW) < 0) {
    const int error = errno;
    ::close(fd_);
    detail::throwSystemError(error, "watching the token-kit store");
  }
}

TokenKitChangeWatcher::~TokenKitChangeWatcher() { ::close(fd_); }

bool TokenKitChangeWatcher::takeChange() {
  bool changed = false;
  alignas(inotify_event) std::array<char, 4096> buffer{};
  for (;;) {
    const auto length = ::read(fd_, buffer.data(), buffer.size());
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return changed;
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<std::size_t>(length);) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + offset, sizeof event);
      const char* name = buffer.data() + offset + sizeof event;
      if ((event.mask & IN_Q_OVERFLOW) != 0 || (event.len > 0 && std::strncmp(name, generationName.c_str(), event.len) == 0)) {
        changed = true;
      }
      offset += sizeof event + event.len;
    }
  }
}

}  // namespace platform::tokenkit

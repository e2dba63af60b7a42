#pragma once

#include <filesystem>
#include <string_view>

namespace platform::foundation::testing {

// A fresh directory (mode 0700) under the system's temporary directory, removed with everything in
// it, also after a test took the owner's access to it away.
class TemporaryDirectory {
public:
  TemporaryDirectory();
  // Under `parent` instead: "/tmp" for a test whose socket paths must stay within the 108 bytes
  // of a Unix socket address, whatever the temporary directory of the environment is.
  explicit TemporaryDirectory(const std::filesystem::path& parent);
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes the text to a file of that name in the directory and returns its path.
  std::filesystem::path write(std::string_view name, std::string_view text) const;

private:
  std::filesystem::path path_;
};

}  // namespace platform::foundation::testing

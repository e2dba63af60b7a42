#pragma once

#include <filesystem>
#include <string_view>

namespace platform::net::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes the text to a file of that name in the directory and returns its path.
  std::filesystem::path write(std::string_view name, std::string_view text) const;

private:
  std::filesystem::path path_;
};

}  // namespace platform::net::testing

#include "platform/foundation/testing/temporary_directory.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace platform::foundation::testing {

TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(std::filesystem::temp_directory_path()) {}

TemporaryDirectory::TemporaryDirectory(const std::filesystem::path& parent) {
  std::string pattern = (parent / "corvanta-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory");
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TemporaryDirectory::write(std::string_view name, std::string_view text) const {
  const auto file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + file.string());
  }
  return file;
}

}  // namespace platform::foundation::testing

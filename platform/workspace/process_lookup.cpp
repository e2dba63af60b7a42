#include "platform/workspace/process_lookup.hpp"

#include "platform/foundation/unique_fd.hpp"
#include "platform/workspace/application_identity.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::workspace {

namespace {

using foundation::UniqueFd;

// Enough for any stat or status file of a process; a longer one is cut, and what is read of it
// then fails to parse instead of being trusted.
constexpr std::size_t maximumFileSize = 8192;

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) return std::nullopt;
  std::string contents;
  std::array<char, 1024> buffer{};
  while (contents.size() < maximumFileSize) {
    const auto count = ::read(file.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    contents.append(buffer.data(), static_cast<std::size_t>(count));
  }
  return contents;
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

// The fields of a stat line after the command name, which is in parentheses and may itself hold
// blanks and parentheses: the last ")" ends it.
struct StatFields {
  char state;
  std::uint64_t startTime;
};

std::optional<StatFields> parseStat(std::string_view stat) {
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  auto rest = stat.substr(close + 1);
  // After the name: state is field 3, the start time field 22 of the line.
  constexpr int startTimeIndex = 22 - 3;
  std::optional<char> state;
  for (int index = 0; index <= startTimeIndex; ++index) {
    const auto begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    const auto field = rest.substr(0, rest.find_first_of(" \n"));
    rest.remove_prefix(field.size());
    if (index == 0) {
      if (field.size() != 1) return std::nullopt;
      state = field.front();
    } else if (index == startTimeIndex) {
      const auto startTime = parseNumber<std::uint64_t>(field);
      if (!startTime) return std::nullopt;
      return StatFields{*state, *startTime};
    }
  }
  return std::nullopt;
}

// A thread's own directory can be opened under its thread identifier too, though it is not listed:
// only a thread group's leader is a process.
bool isThreadGroupLeader(const std::filesystem::path& processPath, pid_t processIdentifier) {
  const auto status = readSmallFile(processPath / "status");
  if (!status) return false;
  constexpr std::string_view key = "\nTgid:";
  const auto found = status->find(key);
  if (found == std::string::npos) return false;
  auto value = std::string_view(*status).substr(found + key.size());
  value = value.substr(0, value.find('\n'));
  const auto begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return false;
  return parseNumber<pid_t>(value.substr(begin)) == processIdentifier;
}

std::optional<std::string> executablePath(const std::filesystem::path& processPath) {
  std::array<char, 4096> buffer{};
  const auto link = processPath / "exe";
  const auto length = ::readlink(link.c_str(), buffer.data(), buffer.size());
  // A full buffer may be a cut path, which must not be matched against the table.
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace

std::optional<RunningApplication> lookUpProcess(pid_t processIdentifier, const std::filesystem::path& processDirectory) {
  if (processIdentifier <= 0) return std::nullopt;
  const auto processPath = processDirectory / std::to_string(processIdentifier);
  const auto stat = readSmallFile(processPath / "stat");
  if (!stat) return std::nullopt;
  const auto fields = parseStat(*stat);
  if (!fields || fields->state == 'Z' || fields->state == 'X') return std::nullopt;
  if (!isThreadGroupLeader(processPath, processIdentifier)) return std::nullopt;

  RunningApplication application;
  application.processIdentifier = processIdentifier;
  application.startTime = fields->startTime;
  if (const auto path = executablePath(processPath)) {
    application.bundleIdentifier = identifierForExecutable(*path);
  }
  return application;
}

}  // namespace platform::workspace

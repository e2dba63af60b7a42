#include "platform/codesign/system_code_signing.hpp"

#include "platform/codesign/elf_identity_reader.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::codesign {

namespace {

using foundation::UniqueFd;

UniqueFd openReadOnly(const std::filesystem::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

// Through the system call itself: older C libraries have no wrapper. A pidfd is close-on-exec
// from birth.
UniqueFd openPidfd(pid_t processIdentifier) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, processIdentifier, 0U)));
}

// A pidfd becomes readable when its process has ended.
bool hasEnded(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;
}

// A stat line is one short line; anything longer is not one and fails to parse.
constexpr std::size_t maximumStatSize = 4096;

std::optional<std::string> readStat(const std::filesystem::path& path) {
  const auto file = openReadOnly(path);
  if (!file) return std::nullopt;
  std::string contents;
  std::array<char, 1024> buffer{};
  while (contents.size() <= maximumStatSize) {
    const auto count = ::read(file.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return contents;
    contents.append(buffer.data(), static_cast<std::size_t>(count));
  }
  return std::nullopt;
}

// Field 22 of the stat line. The command name (field 2) is in parentheses and may itself hold
// blanks and parentheses, so the fields are counted from the last ")".
std::optional<std::uint64_t> startTimeIn(std::string_view stat) {
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  auto rest = stat.substr(close + 1);
  constexpr int fieldsAfterName = 22 - 2;
  std::string_view field;
  for (int index = 0; index < fieldsAfterName; ++index) {
    if (!rest.starts_with(' ')) return std::nullopt;
    rest.remove_prefix(1);
    field = rest.substr(0, rest.find_first_of(" \n"));
    if (field.empty()) return std::nullopt;
    rest.remove_prefix(field.size());
  }
  std::uint64_t startTime = 0;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), startTime);
  if (error != std::errc{} || stop != field.data() + field.size()) return std::nullopt;
  return startTime;
}

std::optional<std::uint64_t> startTimeOf(const std::filesystem::path& processPath) {
  const auto stat = readStat(processPath / "stat");
  if (!stat) return std::nullopt;
  return startTimeIn(*stat);
}

}  // namespace

std::optional<CodeIdentity> SystemCodeSigning::selfIdentity() const {
  return readExecutableOf(options_.processDirectory / "self");
}

std::optional<CodeIdentity> SystemCodeSigning::identityOfProcess(pid_t processIdentifier) const {
  if (processIdentifier <= 0) return std::nullopt;
  if (options_.guard == ReuseGuard::automatic) {
    const auto pidfd = openPidfd(processIdentifier);
    const int openError = errno;
    if (pidfd) return readGuardedByPidfd(processIdentifier, pidfd.get());
    // Only a kernel without pidfds, or a sandbox that forbids them, falls back; every other
    // failure (no such process, a thread, no descriptors left) is a peer that cannot be read.
    if (openError != ENOSYS && openError != EPERM) return std::nullopt;
  }
  return readGuardedByStartTime(processIdentifier);
}

// The pidfd was opened first, so the executable opened after it belongs to the pidfd's process
// as long as that process has not ended by the time the reading is done.
std::optional<CodeIdentity> SystemCodeSigning::readGuardedByPidfd(pid_t processIdentifier, int pidfd) const {
  auto identity = readExecutableOf(options_.processDirectory / std::to_string(processIdentifier));
  if (options_.afterReadingPeer) options_.afterReadingPeer(processIdentifier);
  if (!identity || hasEnded(pidfd)) return std::nullopt;
  return identity;
}

std::optional<CodeIdentity> SystemCodeSigning::readGuardedByStartTime(pid_t processIdentifier) const {
  const auto processPath = options_.processDirectory / std::to_string(processIdentifier);
  const auto startTimeBefore = startTimeOf(processPath);
  if (!startTimeBefore) return std::nullopt;
  auto identity = readExecutableOf(processPath);
  if (options_.afterReadingPeer) options_.afterReadingPeer(processIdentifier);
  if (!identity || startTimeOf(processPath) != startTimeBefore) return std::nullopt;
  return identity;
}

std::optional<CodeIdentity> SystemCodeSigning::readExecutableOf(const std::filesystem::path& processPath) const {
  const auto executable = openReadOnly(processPath / "exe");
  if (!executable) return std::nullopt;
  return readCodeIdentity(FileSource(executable.get()));
}

}  // namespace platform::codesign

#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::workspace {

// An executable this desktop knows by where its package installs it, and the identifier it goes
// by. Only the package manager (root) can put a file at these paths, so a copy elsewhere under the
// same name is not taken for the application.
struct KnownExecutable {
  std::string_view path;
  std::string_view identifier;
};

// The browsers under their usual packagings, and the pinentry programs through which the token
// host asks for the code: this desktop's prompt agents.
std::span<const KnownExecutable> knownExecutables();

// The identifier of the application whose executable is at `path`, as the kernel names it for a
// running process (a path whose file was replaced since the process started ends in " (deleted)",
// which is not part of the path): the table's identifier for a known path; otherwise the
// executable's file name, except that a file name equal to one of the table's identifiers gives
// none, since those identifiers belong to the paths of the table. None for an empty name.
std::optional<std::string> identifierForExecutable(std::string_view path);

}  // namespace platform::workspace

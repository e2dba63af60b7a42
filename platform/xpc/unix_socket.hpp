#pragma once

#include "platform/foundation/unique_fd.hpp"

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform::xpc {

using foundation::UniqueFd;

struct PeerCredentials {
  pid_t pid = 0;
  uid_t effectiveUID = 0;
  gid_t effectiveGID = 0;

  friend bool operator==(const PeerCredentials&, const PeerCredentials&) = default;
};

// A non-blocking Unix stream socket, close-on-exec from birth.
UniqueFd newStreamSocket();

// The credentials the kernel recorded for the other end of a connected socket: on an accepted
// socket the peer's at connect(), on a connecting socket the listener's at listen().
std::optional<PeerCredentials> peerCredentialsOf(int fd);

// Whether a listener answers at the path: a stale socket file refuses, a live one accepts or has a
// full backlog. Never blocks.
bool somethingAnswersAt(const std::string& path);

}  // namespace platform::xpc

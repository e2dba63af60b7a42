#include "platform/xpc/unix_socket.hpp"

#include "platform/xpc/frame.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace platform::xpc {

UniqueFd newStreamSocket() { return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

std::optional<PeerCredentials> peerCredentialsOf(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials ||
      credentials.pid <= 0) {
    return std::nullopt;
  }
  return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

bool somethingAnswersAt(const std::string& path) {
  if (!fitsSocketAddress(path)) return false;
  const UniqueFd probe = newStreamSocket();
  if (!probe) return true;  // cannot tell: keep the file
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  return errno != ECONNREFUSED && errno != ENOENT;
}

}  // namespace platform::xpc

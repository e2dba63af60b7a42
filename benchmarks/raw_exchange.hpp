#pragma once

// The bare Unix-socket exchange the benchmarks measure the system's roads against: whole messages
// written and read with plain blocking calls, nothing of the system's own code in between.
#include "platform/foundation/bytes.hpp"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace benchmarks {

// False once the peer has gone or the socket fails.
inline bool writeAll(int fd, platform::ByteView bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// False when the peer closed or the socket failed before `into` was filled.
inline bool readExactly(int fd, std::span<std::uint8_t> into) {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t count = ::read(fd, into.data() + done, into.size() - done);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace benchmarks

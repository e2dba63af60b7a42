#include "platform/tokenkit/extension/message_channel.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace platform::tokenkit {

bool sendPacket(int socket, ByteView message) {
  iovec part{const_cast<std::uint8_t*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  for (;;) {
    const auto sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<std::size_t>(sent) == message.size();
    if (errno != EINTR) return false;
  }
}

ReceivedPacket receivePacket(int socket, std::size_t maximumSize) {
  // One byte more than allowed, so that a packet of exactly the limit is told apart from a longer
  // one even where the kernel does not report truncation.
  ReceivedPacket packet;
  packet.bytes.resize(maximumSize + 1);
  iovec part{packet.bytes.data(), packet.bytes.size()};
  // Room for one control message, so that descriptors a peer passes are seen and refused; they are
  // received close-on-exec and closed again below.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  ssize_t received = 0;
  for (;;) {
    received = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    if (received >= 0 || errno != EINTR) break;
  }
  if (received < 0) {
    packet.bytes.clear();
    packet.status = ReceivedPacket::Status::refused;
    return packet;
  }
  bool carriedControl = header.msg_controllen > 0 || (header.msg_flags & MSG_CTRUNC) != 0;
  for (auto* message = CMSG_FIRSTHDR(&header); message != nullptr; message = CMSG_NXTHDR(&header, message)) {
    if (message->cmsg_level == SOL_SOCKET && message->cmsg_type == SCM_RIGHTS) {
      const auto count = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      const auto* descriptors = reinterpret_cast<const int*>(CMSG_DATA(message));
      for (std::size_t i = 0; i < count; ++i) ::close(descriptors[i]);
    }
    carriedControl = true;
  }
  const auto length = static_cast<std::size_t>(received);
  if (carriedControl || (header.msg_flags & MSG_TRUNC) != 0 || length > maximumSize) {
    packet.bytes.clear();
    packet.status = ReceivedPacket::Status::refused;
    return packet;
  }
  if (length == 0) {
    packet.bytes.clear();
    packet.status = ReceivedPacket::Status::closed;
    return packet;
  }
  packet.bytes.resize(length);
  packet.status = ReceivedPacket::Status::message;
  return packet;
}

}  // namespace platform::tokenkit

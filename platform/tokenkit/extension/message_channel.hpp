#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstddef>

namespace platform::tokenkit {

// One end of the packet socket between the token host and a token extension: every message is one
// SOCK_SEQPACKET packet, so a message arrives whole or not at all.

// Sends the message as one packet, waiting while the socket is full. False when the peer is gone
// or the socket failed.
bool sendPacket(int socket, ByteView message);

// Waits for the next packet. `closed`: the peer ended the connection (an empty packet counts as
// that: no message of the protocol is empty). `refused`: a packet longer than maximumSize, one that
// came with descriptors or other ancillary data, or a failed socket; the caller ends the
// connection, since what follows can no longer be trusted.
struct ReceivedPacket {
  enum class Status { message, closed, refused };
  Status status = Status::closed;
  Bytes bytes;
};
ReceivedPacket receivePacket(int socket, std::size_t maximumSize);

}  // namespace platform::tokenkit

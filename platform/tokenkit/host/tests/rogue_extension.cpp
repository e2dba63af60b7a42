// A token extension that breaks the protocol, for the host's tests. It appends its pid to the file
// that the first request's configuration data names, then answers that request as the data's
// "mode" says:
//
//   "garbage"      a packet that is no reply
//   "oversized"    a packet one byte over the message limit
//   "unasked"      a well-formed reply to a request that was never made
//   "misshaped"    a well-formed reply of another call's shape
//   "descriptor"   a proper reply that carries a descriptor along
//   "exit"         no answer; the process ends
//   "good"         a proper reply (token handle 7); the next request ends the process
//   "linger"       a proper reply, then, once the host closed the connection, 30 s more of life
//
// After a misbehaviour it waits, reading, for the host to end it.
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/tokenkit/extension/extension_main.hpp"
#include "platform/tokenkit/extension/extension_message.hpp"
#include "platform/tokenkit/extension/message_channel.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

namespace tokenkit = platform::tokenkit;
constexpr int host = tokenkit::extensionHostDescriptor;

void send(const platform::Bytes& message) { tokenkit::sendPacket(host, message); }

void sendWithDescriptor(const platform::Bytes& message) {
  iovec part{const_cast<std::uint8_t*>(message.data()), message.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  cmsghdr* descriptor = CMSG_FIRSTHDR(&header);
  descriptor->cmsg_level = SOL_SOCKET;
  descriptor->cmsg_type = SCM_RIGHTS;
  descriptor->cmsg_len = CMSG_LEN(sizeof(int));
  const int passed = STDIN_FILENO;
  std::memcpy(CMSG_DATA(descriptor), &passed, sizeof(int));
  ::sendmsg(host, &header, MSG_NOSIGNAL);
}

void waitForEnd() {
  for (;;) {
    const auto packet = tokenkit::receivePacket(host, tokenkit::maximumExtensionMessageSize);
    if (packet.status != tokenkit::ReceivedPacket::Status::message) return;
  }
}

}  // namespace

int main() {
  const auto packet = tokenkit::receivePacket(host, tokenkit::maximumExtensionMessageSize);
  if (packet.status != tokenkit::ReceivedPacket::Status::message) return 1;
  const auto request = tokenkit::decodeExtensionRequest(packet.bytes);
  if (!request) return 1;
  const auto* first = std::get_if<tokenkit::extension_request::TokenForConfiguration>(&request->body);
  if (first == nullptr || !first->configuration.configurationData) return 1;
  std::string mode;
  try {
    const auto document = platform::foundation::parseJSON(*first->configuration.configurationData);
    const auto reader = platform::foundation::JSONObjectReader::root(document);
    mode = reader.required<std::string>("mode");
    const auto pidFile = reader.required<std::string>("pidFile");
    const int file = ::open(pidFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const auto line = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] const auto written = ::write(file, line.data(), line.size());
    ::close(file);
  } catch (const platform::foundation::DecodingError&) {
    return 1;
  }

  tokenkit::ExtensionReply good{request->id, tokenkit::ExtensionCall::tokenForConfiguration,
                                tokenkit::Result<tokenkit::ExtensionObject>(tokenkit::ExtensionObject{7})};
  if (mode == "garbage") {
    send(platform::Bytes{0xff, 0x00, 0x01});
  } else if (mode == "oversized") {
    send(platform::Bytes(tokenkit::maximumExtensionMessageSize + 1, 0x02));
  } else if (mode == "unasked") {
    good.id += 1000;
    send(*tokenkit::encodeExtensionReply(good));
  } else if (mode == "misshaped") {
    good.call = tokenkit::ExtensionCall::createSession;
    send(*tokenkit::encodeExtensionReply(good));
  } else if (mode == "descriptor") {
    sendWithDescriptor(*tokenkit::encodeExtensionReply(good));
  } else if (mode == "exit") {
    return 0;
  } else if (mode == "linger") {
    send(*tokenkit::encodeExtensionReply(good));
    waitForEnd();
    ::sleep(30);
    return 0;
  } else if (mode == "good") {
    send(*tokenkit::encodeExtensionReply(good));
    const auto next = tokenkit::receivePacket(host, tokenkit::maximumExtensionMessageSize);
    return next.status == tokenkit::ReceivedPacket::Status::message ? 0 : 1;
  }
  waitForEnd();
  return 0;
}

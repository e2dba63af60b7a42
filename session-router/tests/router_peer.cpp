// A peer of the router for its tests, built with the app's identity record and with a stranger's.
// Arguments: a mode and the runtime directory. Prints one line with the outcome on standard output.
//   register: registers the endpoint of its own listener, which answers sign calls, on the
//             registration service; prints "registered true|false" or "refused"; then keeps the
//             registration until its standard input closes.
//   lookup:   asks the directory service for the endpoint; prints "endpoint PATH", "none" or
//             "refused".
#include "platform/codesign/system_code_signing.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/listener.hpp"
#include "token-support/code_signing_peer_verifier.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace corvanta;
namespace xpc = platform::xpc;

// The first outcome of a call, waited for at most half a minute.
class Outcome {
public:
  void set(std::string text) {
    std::lock_guard lock(mutex_);
    if (!text_) text_ = std::move(text);
    changed_.notify_all();
  }
  std::string wait() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return text_.has_value(); });
    return text_.value_or("timeout");
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::string> text_;
};

// Signs by prefixing: enough for the extension's side to see its call arrive and be answered.
class SessionOwner final : public xpc::ExportedObject {
public:
  void invoke(const std::string&, xpc::Values arguments, xpc::Reply reply) override {
    auto signature = std::get<platform::Bytes>(arguments[0]);
    const auto code = std::get<std::string>(arguments[1]);
    signature.insert(signature.begin(), code.begin(), code.end());
    reply({std::move(signature), std::int64_t{0}});
  }
};

class AcceptAll final : public xpc::ListenerDelegate {
public:
  bool shouldAccept(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) override {
    connection->setExportedInterface(TokenSessionOwnerProtocol::interface());
    connection->setExportedObject(std::make_shared<SessionOwner>());
    connection->resume();
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(connection));
    return true;
  }
  void invalidateAll() {
    std::lock_guard lock(mutex_);
    for (const auto& connection : held_) connection->invalidate();
  }

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<xpc::Connection>> held_;
};

void print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::shared_ptr<xpc::Connection> toRouter(xpc::Context& context, const std::string& service, const std::string& team,
                                          xpc::Interface interface, Outcome& outcome) {
  auto connection = xpc::Connection::toService(context, service);
  connection->setCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::routerID));
  connection->setRemoteInterface(std::move(interface));
  connection->setInvalidationHandler([&outcome] { outcome.set("refused"); });
  connection->setInterruptionHandler([&outcome] { outcome.set("refused"); });
  connection->resume();
  return connection;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  const std::string mode = argv[1];
  const auto codeSigning = std::make_shared<const platform::codesign::SystemCodeSigning>();
  const auto team = TokenPeerIdentity::currentTeamID(*codeSigning);
  xpc::ContextOptions options;
  options.verifier = std::make_shared<CodeSigningPeerVerifier>(codeSigning);
  // Before the context, whose handlers use it until the context ends.
  Outcome outcome;
  xpc::Context context(xpc::RuntimeDirectory::at(argv[2]), options);

  if (mode == "lookup") {
    auto connection = toRouter(context, TokenPeerIdentity::directoryServiceName(team), team,
                               TokenEndpointDirectoryProtocol::interface(), outcome);
    connection->send(
        std::string(TokenEndpointDirectoryProtocol::ownerEndpointSelector), {},
        [&](xpc::Values reply) {
          const auto* endpoint = std::get_if<xpc::Endpoint>(&reply[0]);
          outcome.set(endpoint ? "endpoint " + endpoint->socketPath : "none");
        },
        [&](xpc::Error) { outcome.set("refused"); });
    print(outcome.wait());
    connection->invalidate();
    return 0;
  }
  if (mode != "register") return 64;

  auto delegate = std::make_shared<AcceptAll>();
  auto listener = xpc::Listener::anonymous(context);
  listener->setConnectionCodeSigningRequirement(TokenPeerIdentity::requirement(team, TokenPeerIdentity::driverID));
  listener->setDelegate(delegate);
  listener->resume();
  auto connection = toRouter(context, TokenPeerIdentity::registrationServiceName(team), team,
                             TokenOwnerRegistrationProtocol::interface(), outcome);
  connection->send(
      std::string(TokenOwnerRegistrationProtocol::registerOwnerSelector), {listener->endpoint()},
      [&](xpc::Values reply) { outcome.set(std::get<bool>(reply[0]) ? "registered true" : "registered false"); },
      [&](xpc::Error) { outcome.set("refused"); });
  print(outcome.wait());
  char byte = 0;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  connection->invalidate();
  listener->invalidate();
  delegate->invalidateAll();
  return 0;
}

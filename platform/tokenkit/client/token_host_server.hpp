#pragma once

#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/tokenkit/token_host_service.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace platform::tokenkit {

class TokenHostServerError : public std::runtime_error {
public:
  enum class Case {
    inUse,   // a host that runs already answers at the socket path
    system,  // the socket could not be made, bound or listened on, or the path does not fit
  };
  TokenHostServerError(Case which, const std::string& what);
  Case which() const { return case_; }

private:
  Case case_;
};

struct TokenHostServerOptions {
  // Clients connected at once; one more is closed as soon as it is accepted. A client counts
  // until its connection has ended and the signatures it asked for have returned.
  std::size_t connectionLimit = 16;
  // Signatures under way at once, over all clients; a sign request beyond them is answered at once
  // with an error. A signature can wait for the user for a minute and more, so each has a thread.
  std::size_t signLimit = 8;
  // Answer bytes a connection may hold for a client that does not read them; past them the
  // connection ends.
  std::size_t outgoingBytesLimit = 256 * 1024;
  // Only programs of this effective user may connect; none means this process's own. Tests give
  // another to see their own connections refused as a stranger's would be.
  std::optional<uid_t> ownEffectiveUID;
};

// The host's socket at <runtime directory>/tokenhost: takes the requests of the user's client
// programs to the service and their answers back. Each connection is a client of its own to the
// service, named after the client's executable; the service hears that a client is gone once its
// connection has ended and every signature it asked for has returned, so nothing made for the
// client afterwards outlives it.
//
// Destruction stops accepting, ends every connection and waits for the signatures under way, which
// the service alone can cut short.
class TokenHostServer {
public:
  // Listening from here on. A socket file that nothing answers at any more is replaced.
  TokenHostServer(const xpc::RuntimeDirectory& directory, TokenHostService& service,
                  TokenHostServerOptions options = {});
  ~TokenHostServer();
  TokenHostServer(const TokenHostServer&) = delete;
  TokenHostServer& operator=(const TokenHostServer&) = delete;

  const std::string& socketPath() const;

  class State;

private:
  std::unique_ptr<State> state_;
};

// Serves the service's clients until `stop` is requested, then shuts down as the server does.
// Throws TokenHostServerError when the socket cannot be had.
void serveTokenHost(const xpc::RuntimeDirectory& directory, TokenHostService& service, std::stop_token stop,
                    TokenHostServerOptions options = {});

}  // namespace platform::tokenkit

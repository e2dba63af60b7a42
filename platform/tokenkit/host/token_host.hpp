#pragma once

#include "platform/tokenkit/host/extension_proxy.hpp"
#include "platform/tokenkit/password_prompt.hpp"
#include "platform/tokenkit/token_host_service.hpp"
#include "platform/tokenkit/token_kit.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::tokenkit {

// The token host: offers the tokens configured in the store for every driver that has a manifest,
// and signs with their keys by driving the driver's extension process, one process per driver,
// started on first use and again after it died.
//
// A signature runs: the key item's own refusals (it cannot sign, or signing is never allowed),
// then supports, then signData; while the token answers authenticationNeeded (-9), one
// authentication round: beginAuth with the key's constraint for signing, the user's password for a
// password operation (cancelled: canceledByUser, -4), finish, release, and signData again. After
// three rounds the last answer stands. A refused finish is the answer: the user is not asked again.
//
// Each client has one session per token, made on its first request and kept until the client goes
// or the token ends; a client's requests on one token take turns, so that a session never has two
// operations alive. The host holds no lock of its own while an extension or the user is asked, so a
// request blocked in either (finishing an authentication can take as long as the approval allows)
// holds up no other client and none of the host's bookkeeping.
class TokenHost final : public TokenHostService {
public:
  // The store and the prompt must outlive the host. No request may be in flight when it goes.
  TokenHost(const TokenKit& store, std::filesystem::path driverManifests, PasswordPrompt& prompt);
  ~TokenHost() override;
  TokenHost(const TokenHost&) = delete;
  TokenHost& operator=(const TokenHost&) = delete;

  // Digests longer than this are refused (badParameter, -8) before any token is asked.
  static constexpr std::size_t maximumDigestSize = 64;

  std::vector<HostedToken> tokens() override;
  Result<Bytes> sign(const TokenClient& client, const std::string& keyObjectID, const std::string& algorithmID,
                     const Bytes& digest) override;
  void clientGone(std::uint64_t clientID) override;

  // Ends every token whose configuration is gone (removed, or its driver's manifest is) or whose
  // configuration data changed: the next request builds it anew from what the store holds now.
  void rescan();

  struct LiveToken;
  struct LiveSession;
  class SessionLease;

private:
  struct LocatedKey;

  std::optional<LocatedKey> locateKey(const std::string& keyObjectID);
  std::shared_ptr<ExtensionProxy> proxyFor(const std::string& driverID, const std::filesystem::path& executable);
  Result<SessionLease> leaseSession(const TokenClient& client, const LocatedKey& located,
                                    const std::shared_ptr<ExtensionProxy>& proxy);
  Result<Bytes> signInSession(const TokenClient& client, const LocatedKey& located, SessionLease& lease,
                              const std::string& algorithmID, const Bytes& digest);
  Result<void> authenticate(const TokenClient& client, const LocatedKey& located, SessionLease& lease);

  // Takes the token out of the host's tables; the caller ends it with endTokens once unlocked.
  std::shared_ptr<LiveToken> detachToken(std::map<std::pair<std::string, std::string>, std::shared_ptr<LiveToken>>::iterator at);
  void endTokens(std::vector<std::shared_ptr<LiveToken>> tokens);
  void releaseSessions(std::vector<std::shared_ptr<LiveSession>> sessions);
  void leaveSession(const std::shared_ptr<LiveSession>& session);

  const TokenKit& store_;
  const std::filesystem::path driverManifests_;
  PasswordPrompt& prompt_;

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<ExtensionProxy>> proxies_;
  std::map<std::pair<std::string, std::string>, std::shared_ptr<LiveToken>> tokens_;
};

}  // namespace platform::tokenkit

#include "platform/tokenkit/host/token_host.hpp"

#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/host/driver_manifest.hpp"

#include <system_error>
#include <variant>

namespace platform::tokenkit {
namespace {

// Authentication rounds one request may take: enough for a token that asks before the first
// signature and once more after it, few enough that a token answering "authenticate" for ever
// cannot keep a client prompting for ever.
constexpr int maximumAuthRounds = 3;

// Attempts to get a session for a request while the token or the extension under it keeps ending
// (an extension that dies right after making each token would otherwise be restarted for ever).
constexpr int maximumSessionAttempts = 3;

struct VisibleConfiguration {
  std::string driverID;
  std::filesystem::path executable;
  TokenConfigurationSnapshot configuration;
};

}  // namespace

struct TokenHost::LocatedKey {
  std::string driverID;
  std::filesystem::path executable;
  TokenConfigurationSnapshot configuration;
  KeychainKey key;
  Constraint signConstraint;
};

struct TokenHost::LiveSession {
  std::shared_ptr<ExtensionProxy> proxy;
  ExtensionHandle handle;
  // Held for the whole of one request, so that one client's requests on one token take turns.
  std::mutex turn;
  // Under the host's mutex: the requests holding the session, and whether it was given up (its
  // client went or its token ended), in which case the last of them releases it.
  std::size_t users = 0;
  bool detached = false;
};

struct TokenHost::LiveToken {
  std::string driverID;
  TokenConfigurationSnapshot configuration;
  std::shared_ptr<ExtensionProxy> proxy;
  ExtensionHandle handle;
  std::map<std::uint64_t, std::shared_ptr<LiveSession>> sessions;  // by client
};

// A request's hold on its session: the session stays until the last request holding it lets go.
class TokenHost::SessionLease {
public:
  SessionLease(TokenHost& host, std::shared_ptr<LiveSession> session) : host_(&host), session_(std::move(session)) {}
  SessionLease(SessionLease&& other) noexcept
      : host_(std::exchange(other.host_, nullptr)), session_(std::move(other.session_)) {}
  SessionLease& operator=(SessionLease&&) = delete;
  SessionLease(const SessionLease&) = delete;
  SessionLease& operator=(const SessionLease&) = delete;
  ~SessionLease() {
    if (host_ != nullptr) host_->leaveSession(session_);
  }

  LiveSession& session() const { return *session_; }

private:
  TokenHost* host_;
  std::shared_ptr<LiveSession> session_;
};

namespace {

// The configurations of every driver that has a manifest; none when the store cannot be read.
std::optional<std::vector<VisibleConfiguration>> visibleConfigurations(const TokenKit& store,
                                                                        const std::filesystem::path& manifests) {
  std::vector<VisibleConfiguration> visible;
  try {
    for (const auto& [driverID, driver] : store.driverConfigurations()) {
      const auto manifest = readDriverManifest(manifests, driverID);
      if (!manifest) continue;
      for (const auto& [instanceID, configuration] : driver->tokenConfigurations()) {
        visible.push_back(VisibleConfiguration{
            driverID, manifest->executable,
            TokenConfigurationSnapshot{configuration->instanceID(), configuration->configurationData(),
                                       configuration->keychainItems()}});
      }
    }
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return visible;
}

// Releases an authentication operation on every way out of a round.
class OperationRelease {
public:
  OperationRelease(ExtensionProxy& proxy, ExtensionHandle operation) : proxy_(proxy), operation_(operation) {}
  ~OperationRelease() { proxy_.releaseOperation(operation_); }
  OperationRelease(const OperationRelease&) = delete;
  OperationRelease& operator=(const OperationRelease&) = delete;

private:
  ExtensionProxy& proxy_;
  ExtensionHandle operation_;
};

}  // namespace

TokenHost::TokenHost(const TokenKit& store, std::filesystem::path driverManifests, PasswordPrompt& prompt)
    : store_(store), driverManifests_(std::move(driverManifests)), prompt_(prompt) {}

TokenHost::~TokenHost() {
  // Closing the extensions ends their tokens, sessions and operations with them.
  tokens_.clear();
  proxies_.clear();
}

std::vector<HostedToken> TokenHost::tokens() {
  std::vector<HostedToken> hosted;
  const auto visible = visibleConfigurations(store_, driverManifests_);
  if (!visible) return hosted;
  for (const auto& entry : *visible) {
    hosted.push_back(HostedToken{entry.driverID, entry.configuration.instanceID, entry.configuration.keychainItems});
  }
  return hosted;
}

std::optional<TokenHost::LocatedKey> TokenHost::locateKey(const std::string& keyObjectID) {
  auto visible = visibleConfigurations(store_, driverManifests_);
  if (!visible) return std::nullopt;
  for (auto& entry : *visible) {
    for (const auto& item : entry.configuration.keychainItems) {
      const auto* key = std::get_if<KeychainKey>(&item);
      if (key == nullptr || key->objectID != keyObjectID) continue;
      const auto constraint = key->constraints.find(Operation::signData);
      // A key that states nothing for signing leaves it to the token.
      Constraint signConstraint = constraint == key->constraints.end() ? Constraint{true} : constraint->second;
      KeychainKey found = *key;
      return LocatedKey{std::move(entry.driverID), std::move(entry.executable), std::move(entry.configuration),
                        std::move(found), std::move(signConstraint)};
    }
  }
  return std::nullopt;
}

Result<Bytes> TokenHost::sign(const TokenClient& client, const std::string& keyObjectID,
                              const std::string& algorithmID, const Bytes& digest) {
  const auto located = locateKey(keyObjectID);
  if (!located) return Error(ErrorCode::objectNotFound);
  if (digest.size() > maximumDigestSize) return Error(ErrorCode::badParameter);
  // The key item's own word comes first: the extension is not asked for what the item rules out.
  const auto* never = std::get_if<bool>(&located->signConstraint);
  if (!located->key.canSign || (never != nullptr && !*never)) return Error(ErrorCode::notImplemented);

  const auto proxy = proxyFor(located->driverID, located->executable);
  auto lease = leaseSession(client, *located, proxy);
  if (!lease) return lease.error();
  return signInSession(client, *located, lease.value(), algorithmID, digest);
}

Result<Bytes> TokenHost::signInSession(const TokenClient& client, const LocatedKey& located, SessionLease& lease,
                                       const std::string& algorithmID, const Bytes& digest) {
  auto& session = lease.session();
  const std::lock_guard turn(session.turn);
  auto& proxy = *session.proxy;
  const ObjectID key{located.key.objectID};
  const KeyAlgorithm algorithm{algorithmID};

  const auto supported = proxy.supports(session.handle, Operation::signData, key, algorithm);
  if (!supported) return supported.error();
  if (!supported.value()) return Error(ErrorCode::notImplemented);

  for (int rounds = 0;; ++rounds) {
    auto signature = proxy.signData(session.handle, digest, key, algorithm);
    if (signature || signature.error().code != static_cast<int>(ErrorCode::authenticationNeeded) ||
        rounds == maximumAuthRounds) {
      return signature;
    }
    const auto authenticated = authenticate(client, located, lease);
    if (!authenticated) return authenticated.error();
  }
}

Result<void> TokenHost::authenticate(const TokenClient& client, const LocatedKey& located, SessionLease& lease) {
  auto& session = lease.session();
  auto& proxy = *session.proxy;
  const auto begun = proxy.beginAuth(session.handle, Operation::signData, located.signConstraint);
  if (!begun) return begun.error();
  const auto& operation = begun.value();
  if (operation.kind == AuthOperationKind::none) return {};

  const OperationRelease release(proxy, operation.operation);
  if (operation.kind == AuthOperationKind::plain) return proxy.finish(operation.operation, std::nullopt);

  auto password = prompt_.ask(PromptRequest{located.configuration.instanceID, located.key.label, client.name});
  if (!password) return Error(ErrorCode::canceledByUser);
  auto finished = proxy.finish(operation.operation, std::move(password));
  if (password) security::wipeSecret(*password);
  return finished;
}

std::shared_ptr<ExtensionProxy> TokenHost::proxyFor(const std::string& driverID,
                                                    const std::filesystem::path& executable) {
  // A proxy replaced because its manifest now names another executable goes after the lock: its
  // extension is closed as it goes.
  std::shared_ptr<ExtensionProxy> replaced;
  const std::lock_guard lock(mutex_);
  auto& proxy = proxies_[driverID];
  if (!proxy || proxy->executable() != executable) {
    replaced = std::move(proxy);
    proxy = std::make_shared<ExtensionProxy>(executable);
  }
  return proxy;
}

Result<TokenHost::SessionLease> TokenHost::leaseSession(const TokenClient& client, const LocatedKey& located,
                                                        const std::shared_ptr<ExtensionProxy>& proxy) {
  const std::pair<std::string, std::string> name{located.driverID, located.configuration.instanceID};
  for (int attempt = 0; attempt < maximumSessionAttempts; ++attempt) {
    std::vector<std::shared_ptr<LiveToken>> stale;
    std::shared_ptr<LiveToken> token;
    {
      const std::lock_guard lock(mutex_);
      const auto found = tokens_.find(name);
      if (found != tokens_.end()) {
        const auto& live = found->second;
        // A token made from other data would answer for an identity the store no longer holds.
        if (live->proxy != proxy || live->configuration.configurationData != located.configuration.configurationData ||
            !proxy->isLive(live->handle)) {
          stale.push_back(detachToken(found));
        } else {
          token = live;
        }
      }
      if (token) {
        const auto session = token->sessions.find(client.id);
        if (session != token->sessions.end()) {
          if (proxy->isLive(session->second->handle)) {
            ++session->second->users;
            return SessionLease(*this, session->second);
          }
          token->sessions.erase(session);
        }
      }
    }
    endTokens(std::move(stale));

    if (!token) {
      auto made = proxy->tokenForConfiguration(located.configuration);
      if (!made) return made.error();
      auto live = std::make_shared<LiveToken>();
      live->driverID = located.driverID;
      live->configuration = located.configuration;
      live->proxy = proxy;
      live->handle = made.value();
      std::vector<std::shared_ptr<LiveToken>> duplicate;
      {
        const std::lock_guard lock(mutex_);
        // Another request may have made the same token meanwhile; the first one made stays.
        if (!tokens_.emplace(name, live).second) duplicate.push_back(std::move(live));
      }
      endTokens(std::move(duplicate));
      continue;
    }

    auto made = proxy->createSession(token->handle);
    if (!made) return made.error();
    auto session = std::make_shared<LiveSession>();
    session->proxy = proxy;
    session->handle = made.value();
    bool kept = false;
    {
      const std::lock_guard lock(mutex_);
      const auto current = tokens_.find(name);
      if (current != tokens_.end() && current->second == token && !token->sessions.contains(client.id)) {
        session->users = 1;
        token->sessions.emplace(client.id, session);
        kept = true;
      }
    }
    if (kept) return SessionLease(*this, std::move(session));
    // The token ended or another request of the client made its session first.
    proxy->releaseSession(session->handle);
  }
  return Error(ErrorCode::communicationError);
}

std::shared_ptr<TokenHost::LiveToken> TokenHost::detachToken(
    std::map<std::pair<std::string, std::string>, std::shared_ptr<LiveToken>>::iterator at) {
  auto token = std::move(at->second);
  tokens_.erase(at);
  // What stays in the token's table are the sessions no request holds; endTokens releases them.
  // The others are released by the last request that holds them.
  for (auto session = token->sessions.begin(); session != token->sessions.end();) {
    session->second->detached = true;
    if (session->second->users > 0) {
      session = token->sessions.erase(session);
    } else {
      ++session;
    }
  }
  return token;
}

void TokenHost::endTokens(std::vector<std::shared_ptr<LiveToken>> tokens) {
  for (const auto& token : tokens) {
    for (const auto& [client, session] : token->sessions) session->proxy->releaseSession(session->handle);
    token->sessions.clear();
    token->proxy->terminateToken(token->handle);
  }
}

void TokenHost::releaseSessions(std::vector<std::shared_ptr<LiveSession>> sessions) {
  for (const auto& session : sessions) session->proxy->releaseSession(session->handle);
}

void TokenHost::leaveSession(const std::shared_ptr<LiveSession>& session) {
  bool release = false;
  {
    const std::lock_guard lock(mutex_);
    release = --session->users == 0 && session->detached;
  }
  if (release) session->proxy->releaseSession(session->handle);
}

void TokenHost::clientGone(std::uint64_t clientID) {
  std::vector<std::shared_ptr<LiveSession>> idle;
  {
    const std::lock_guard lock(mutex_);
    for (auto& [name, token] : tokens_) {
      const auto found = token->sessions.find(clientID);
      if (found == token->sessions.end()) continue;
      auto session = std::move(found->second);
      token->sessions.erase(found);
      session->detached = true;
      if (session->users == 0) idle.push_back(std::move(session));
    }
  }
  releaseSessions(std::move(idle));
}

void TokenHost::rescan() {
  const auto visible = visibleConfigurations(store_, driverManifests_);
  if (!visible) return;
  std::vector<std::shared_ptr<LiveToken>> ended;
  {
    const std::lock_guard lock(mutex_);
    for (auto at = tokens_.begin(); at != tokens_.end();) {
      const auto& token = at->second;
      bool current = false;
      for (const auto& entry : *visible) {
        if (entry.driverID == token->driverID && entry.configuration.instanceID == token->configuration.instanceID) {
          current = entry.configuration.configurationData == token->configuration.configurationData &&
                    entry.executable == token->proxy->executable();
          break;
        }
      }
      if (current && token->proxy->isLive(token->handle)) {
        ++at;
      } else {
        auto next = std::next(at);
        ended.push_back(detachToken(at));
        at = next;
      }
    }
  }
  endTokens(std::move(ended));
}

}  // namespace platform::tokenkit

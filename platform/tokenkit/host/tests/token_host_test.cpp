#include "platform/tokenkit/host/token_host.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/runtime/testing/run_until.hpp"
#include "platform/tokenkit/testing/in_memory_token_kit.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::tokenkit {
namespace {

namespace fs = std::filesystem;
using platform::foundation::testing::TemporaryDirectory;
using platform::runtime::testing::hangLimit;
using namespace std::string_literals;
using Events = std::vector<std::string>;

const std::string driverID = "ro.corvanta.test.ScriptedToken";

// Answers each client's prompts from its own list (cancelling once the list is used up) and
// records every request.
class FakePrompt final : public PasswordPrompt {
public:
  void answer(const std::string& clientName, std::vector<std::optional<std::string>> answers) {
    const std::lock_guard lock(mutex_);
    answers_[clientName].assign(answers.begin(), answers.end());
  }

  std::optional<std::string> ask(const PromptRequest& request) override {
    const std::lock_guard lock(mutex_);
    requests_.push_back(request);
    auto& answers = answers_[request.clientName];
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<PromptRequest> requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

private:
  std::mutex mutex_;
  std::map<std::string, std::deque<std::optional<std::string>>> answers_;
  std::vector<PromptRequest> requests_;
};

// A host over an in-memory store and a manifest directory naming the scripted extension
// (tests/scripted_extension.cpp), which writes what it was asked to an event file.
class TokenHostTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directory(manifests);
    writeManifest();
    store.installDriver(driverID);
    host.emplace(store, manifests, prompt);
  }

  void writeManifest() const {
    std::ofstream(manifests / (driverID + ".json"))
        << R"({"executable":")" << TOKENKIT_SCRIPTED_EXTENSION << R"(","principal":"ScriptedTokenDriver"})";
  }

  static KeychainKey keyOf(const std::string& instanceID) {
    KeychainKey key;
    key.objectID = "key:" + instanceID;
    key.label = "Key of " + instanceID;
    key.canSign = true;
    key.constraints = {{Operation::signData, Constraint("test.constraint"s)}, {Operation::decryptData, Constraint(false)}};
    return key;
  }

  std::string script(const std::string& members) const {
    return R"({"log":")" + log.string() + "\"" + (members.empty() ? "" : "," + members) + "}";
  }

  std::shared_ptr<TokenConfiguration> publish(const std::string& instanceID, const std::string& members,
                                              const std::function<void(KeychainKey&)>& alterKey = {}) {
    auto configuration = store.driverConfigurations().at(driverID)->addTokenConfiguration(instanceID);
    configuration->setConfigurationData(bytesOf(script(members)));
    auto key = keyOf(instanceID);
    if (alterKey) alterKey(key);
    configuration->setKeychainItems({KeychainCertificate{"certificate:" + instanceID, "Certificate", {}}, key});
    return configuration;
  }

  Result<Bytes> sign(std::uint64_t client, const std::string& instanceID, const Bytes& digest = Bytes(32, 1)) {
    return host->sign(TokenClient{client, "Client " + std::to_string(client)}, "key:" + instanceID, "alg", digest);
  }

  static Bytes signatureOf(const Bytes& digest) {
    Bytes signature = bytesOf("signed:");
    signature.insert(signature.end(), digest.begin(), digest.end());
    return signature;
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> found;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
  }

  // What the extension saw of one token, in order, without the lines of its process.
  Events events(const std::string& instanceID) const {
    Events found;
    const auto prefix = instanceID + " ";
    for (const auto& line : lines()) {
      if (line.starts_with(prefix) && !line.starts_with(prefix + "process ")) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }

  std::vector<std::string> processes() const {
    std::vector<std::string> found;
    for (const auto& line : lines()) {
      if (const auto at = line.find(" process "); at != std::string::npos) found.push_back(line.substr(at + 1));
    }
    return found;
  }

  pid_t lastProcess() const {
    const auto all = processes();
    if (all.empty()) return -1;
    const auto& line = all.back();
    const auto at = line.find("pid=") + 4;
    return static_cast<pid_t>(std::stol(line.substr(at, line.find(' ', at) - at)));
  }

  bool waitForEvent(const std::string& instanceID, const std::string& event) const {
    const auto giveUp = std::chrono::steady_clock::now() + hangLimit;
    while (std::chrono::steady_clock::now() < giveUp) {
      const auto seen = events(instanceID);
      if (std::find(seen.begin(), seen.end(), event) != seen.end()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  TemporaryDirectory directory;
  fs::path manifests = directory.path() / "drivers";
  fs::path log = directory.path() / "events";
  testing::InMemoryTokenKit store;
  FakePrompt prompt;
  std::optional<TokenHost> host;
};

const Events opening = {"token 0", "session", "supports 2 key:%s alg"};

Events join(const std::string& instanceID, Events head, const Events& tail) {
  for (auto& event : head) {
    if (const auto at = event.find("%s"); at != std::string::npos) event.replace(at, 2, instanceID);
  }
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

struct SequenceCase {
  std::string name;
  std::string script;
  std::vector<std::optional<std::string>> answers;
  std::optional<Error> error;  // none: the signature
  Events afterOpening;
  std::size_t prompts;
};

// The order in which a signature is driven, from the extension's side of it.
TEST_F(TokenHostTest, SignatureSequenceTable) {
  const Events authRound = {"begin-auth test.constraint", "finish 123456", "release-operation after-finish", "sign"};
  Events endless = {"sign"};
  for (int round = 0; round < 3; ++round) endless.insert(endless.end(), authRound.begin(), authRound.end());

  const std::vector<SequenceCase> cases = {
      {"signed at once", R"("auth":"none")", {}, std::nullopt, {"sign"}, 0},
      {"authentication needed, the code confirmed, signed again",
       R"("auth":"password","password":"123456")", {"123456"}, std::nullopt,
       {"sign", "begin-auth test.constraint", "finish 123456", "release-operation after-finish", "sign"}, 1},
      {"prompt cancelled: the operation released unfinished",
       R"("auth":"password","password":"123456")", {std::nullopt}, Error(ErrorCode::canceledByUser),
       {"sign", "begin-auth test.constraint", "release-operation unfinished"}, 1},
      {"code refused: that error, no second prompt",
       R"("auth":"password","password":"123456")", {"000000", "123456"},
       Error(ErrorCode::authenticationFailed, "The code was refused."s),
       {"sign", "begin-auth test.constraint", "finish 000000", "release-operation after-finish"}, 1},
      {"plain operation: finished without a prompt", R"("auth":"plain")", {}, std::nullopt,
       {"sign", "begin-auth test.constraint", "finish none", "release-operation after-finish", "sign"}, 0},
      {"three rounds, then the last answer", R"("auth":"endless","password":"123456")",
       {"123456", "123456", "123456", "123456"}, Error(ErrorCode::authenticationNeeded), endless, 3},
      {"beginAuth refused: that error", R"("auth":"password","constraint":"another")", {}, Error(ErrorCode::notImplemented),
       {"sign", "begin-auth test.constraint"}, 0},
  };
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const auto& testCase = cases[index];
    SCOPED_TRACE(testCase.name);
    const auto instanceID = "sequence" + std::to_string(index);
    const std::uint64_t client = 100 + index;
    publish(instanceID, testCase.script);
    prompt.answer("Client " + std::to_string(client), testCase.answers);
    const auto before = prompt.requests().size();
    const Bytes digest(32, static_cast<std::uint8_t>(index));

    const auto result = sign(client, instanceID, digest);

    if (testCase.error) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), *testCase.error);
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(result.value(), signatureOf(digest));
    }
    EXPECT_EQ(events(instanceID), join(instanceID, opening, testCase.afterOpening));
    const auto requests = prompt.requests();
    ASSERT_EQ(requests.size() - before, testCase.prompts);
    for (auto at = requests.begin() + static_cast<std::ptrdiff_t>(before); at != requests.end(); ++at) {
      EXPECT_EQ(*at, (PromptRequest{instanceID, "Key of " + instanceID, "Client " + std::to_string(client)}));
    }
  }
}

struct RefusalCase {
  std::string name;
  std::string script;
  std::function<void(KeychainKey&)> alterKey;
  std::string keyObjectID;  // empty: the published key
  Bytes digest;
  std::optional<Error> error;
  Events events;  // of the extension; {} when it was not asked at all
};

// What the host answers from the key item and the request alone, and where the limits lie.
TEST_F(TokenHostTest, HostRefusalTable) {
  const std::vector<RefusalCase> cases = {
      {"key cannot sign", "", [](KeychainKey& key) { key.canSign = false; }, "", Bytes(32, 1),
       Error(ErrorCode::notImplemented), {}},
      {"signing never allowed", "", [](KeychainKey& key) { key.constraints[Operation::signData] = false; }, "",
       Bytes(32, 1), Error(ErrorCode::notImplemented), {}},
      {"unknown key", "", {}, "key:nobody", Bytes(32, 1), Error(ErrorCode::objectNotFound), {}},
      {"certificate's object identifier is no key", "", {}, "certificate:", Bytes(32, 1),
       Error(ErrorCode::objectNotFound), {}},
      {"digest of 65 bytes", "", {}, "", Bytes(65, 1), Error(ErrorCode::badParameter), {}},
      {"digest of 64 bytes", "", {}, "", Bytes(64, 1), std::nullopt, {"token 0", "session", "supports 2 key:%s alg", "sign"}},
      {"empty digest", "", {}, "", Bytes{}, std::nullopt, {"token 0", "session", "supports 2 key:%s alg", "sign"}},
      {"token does not support it: not asked to sign", R"("supports":false)", {}, "", Bytes(32, 1),
       Error(ErrorCode::notImplemented), {"token 0", "session", "supports 2 key:%s alg"}},
      {"no token for the configuration: its error", R"("tokenError":-8)", {}, "", Bytes(32, 1),
       Error(ErrorCode::badParameter, "Scripted refusal."s), {"token 0"}},
  };
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const auto& testCase = cases[index];
    SCOPED_TRACE(testCase.name);
    const auto instanceID = "refusal" + std::to_string(index);
    publish(instanceID, testCase.script, testCase.alterKey);
    auto keyObjectID = testCase.keyObjectID.empty() ? "key:" + instanceID : testCase.keyObjectID;
    if (keyObjectID == "certificate:") keyObjectID += instanceID;

    const auto result = host->sign(TokenClient{1, "Client 1"}, keyObjectID, "alg", testCase.digest);

    if (testCase.error) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), *testCase.error);
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(result.value(), signatureOf(testCase.digest));
    }
    EXPECT_EQ(events(instanceID), join(instanceID, testCase.events, {}));
  }
  EXPECT_TRUE(prompt.requests().empty());
}

TEST_F(TokenHostTest, TokensAreThoseOfDriversWithAManifest) {
  publish("a", "");
  store.installDriver("ro.corvanta.test.NoManifest");
  store.driverConfigurations().at("ro.corvanta.test.NoManifest")->addTokenConfiguration("b");
  const auto tokens = host->tokens();
  ASSERT_EQ(tokens.size(), 1U);
  EXPECT_EQ(tokens[0].driverID, driverID);
  EXPECT_EQ(tokens[0].instanceID, "a");
  EXPECT_EQ(tokens[0].keychainItems.size(), 2U);

  fs::remove(manifests / (driverID + ".json"));
  EXPECT_TRUE(host->tokens().empty());
  EXPECT_EQ(sign(1, "a").error(), Error(ErrorCode::objectNotFound));
  EXPECT_TRUE(lines().empty());
}

// New configuration data under the same instance identifier ends the token and builds it anew,
// whether a rescan or the next request notices it first.
TEST_F(TokenHostTest, ChangedConfigurationDataRebuildsTheToken) {
  for (const bool rescan : {true, false}) {
    SCOPED_TRACE(rescan ? "rescan" : "next request");
    const std::string instanceID = rescan ? "rescanned" : "requested";
    const auto configuration = publish(instanceID, R"("version":1)");
    ASSERT_TRUE(sign(1, instanceID));
    // The same token is kept while nothing changed.
    host->rescan();
    ASSERT_TRUE(sign(1, instanceID));

    configuration->setConfigurationData(bytesOf(script(R"("version":2)")));
    if (rescan) {
      host->rescan();
      EXPECT_EQ(events(instanceID).back(), "terminate");
    }
    ASSERT_TRUE(sign(1, instanceID));

    const auto key = "supports 2 key:" + instanceID + " alg";
    EXPECT_EQ(events(instanceID), (Events{"token 1", "session", key, "sign", key, "sign", "release-session", "terminate",
                                          "token 2", "session", key, "sign"}));
  }
}

// A configuration removed, or its driver's manifest, ends its token at the next rescan.
TEST_F(TokenHostTest, RemovedConfigurationEndsTheToken) {
  for (const bool manifestRemoved : {false, true}) {
    SCOPED_TRACE(manifestRemoved ? "manifest removed" : "configuration removed");
    const std::string instanceID = manifestRemoved ? "unmanifested" : "removed";
    publish(instanceID, "");
    ASSERT_TRUE(sign(1, instanceID));
    if (manifestRemoved) {
      fs::remove(manifests / (driverID + ".json"));
    } else {
      store.driverConfigurations().at(driverID)->removeTokenConfiguration(instanceID);
    }
    host->rescan();
    const auto key = "supports 2 key:" + instanceID + " alg";
    EXPECT_EQ(events(instanceID), (Events{"token 0", "session", key, "sign", "release-session", "terminate"}));
    EXPECT_EQ(sign(1, instanceID).error(), Error(ErrorCode::objectNotFound));
    writeManifest();
  }
}

// One session per client and token, kept across requests, released when the client goes.
TEST_F(TokenHostTest, SessionsArePerClientAndEndWithTheClient) {
  publish("a", "");
  ASSERT_TRUE(sign(1, "a"));
  ASSERT_TRUE(sign(1, "a"));
  ASSERT_TRUE(sign(2, "a"));
  host->clientGone(1);
  host->clientGone(1);  // nothing more to release
  host->clientGone(77);
  ASSERT_TRUE(sign(1, "a"));
  const auto key = "supports 2 key:a alg"s;
  EXPECT_EQ(events("a"), (Events{"token 0", "session", key, "sign", key, "sign", "session", key, "sign", "release-session",
                                 "session", key, "sign"}));
}

// The extension dies in the middle of a call: the call answers communicationError, and the next
// request starts the extension again and builds its token anew.
TEST_F(TokenHostTest, ExtensionKilledDuringACall) {
  publish("a", R"("stall":"signData")");
  auto stalled = std::async(std::launch::async, [this] { return sign(1, "a"); });
  ASSERT_TRUE(waitForEvent("a", "stall signData"));
  const auto pid = lastProcess();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  ASSERT_EQ(stalled.wait_for(hangLimit), std::future_status::ready);
  EXPECT_EQ(stalled.get().error(), Error(ErrorCode::communicationError));

  const auto again = sign(1, "a");
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), signatureOf(Bytes(32, 1)));
  EXPECT_EQ(processes().size(), 2U);
  EXPECT_NE(lastProcess(), pid);
  const auto key = "supports 2 key:a alg"s;
  EXPECT_EQ(events("a"), (Events{"token 0", "session", key, "sign", "stall signData", "token 0", "session", key, "sign"}));
}

// While one client's request is blocked in finish, another client of the same token is served
// through its own session, and the host's bookkeeping goes on: the blocked request holds no lock.
TEST_F(TokenHostTest, AClientInFinishHoldsUpNoOther) {
  publish("a", R"("auth":"password","password":"123456","stall":"finish")");
  prompt.answer("Client 1", {"123456"});
  prompt.answer("Client 2", {"123456"});
  auto blocked = std::async(std::launch::async, [this] { return sign(1, "a"); });
  ASSERT_TRUE(waitForEvent("a", "stall finish"));

  const auto served = sign(2, "a", Bytes(32, 2));
  ASSERT_TRUE(served);
  EXPECT_EQ(served.value(), signatureOf(Bytes(32, 2)));
  EXPECT_EQ(host->tokens().size(), 1U);
  host->rescan();
  host->clientGone(3);
  EXPECT_EQ(blocked.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  ASSERT_EQ(::kill(lastProcess(), SIGKILL), 0);
  ASSERT_EQ(blocked.wait_for(hangLimit), std::future_status::ready);
  EXPECT_EQ(blocked.get().error(), Error(ErrorCode::communicationError));
}

// Two requests of one client on one token take turns on its one session: while the first is in
// finish, the second does not start, so the session never has two operations alive.
TEST_F(TokenHostTest, OneClientsRequestsOnATokenTakeTurns) {
  publish("a", R"("auth":"password","password":"123456","stall":"finish")");
  prompt.answer("Client 1", {"123456", "123456"});
  auto first = std::async(std::launch::async, [this] { return sign(1, "a"); });
  ASSERT_TRUE(waitForEvent("a", "stall finish"));
  auto second = std::async(std::launch::async, [this] { return sign(1, "a"); });
  // Time for the second request to reach the extension if it did not wait its turn.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(second.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  const auto key = "supports 2 key:a alg"s;
  EXPECT_EQ(events("a"), (Events{"token 0", "session", key, "sign", "begin-auth test.constraint", "finish 123456",
                                 "stall finish"}));

  // The extension dies under the first; the second then finds its session gone with it.
  ASSERT_EQ(::kill(lastProcess(), SIGKILL), 0);
  ASSERT_EQ(first.wait_for(hangLimit), std::future_status::ready);
  EXPECT_EQ(first.get().error(), Error(ErrorCode::communicationError));
  ASSERT_EQ(second.wait_for(hangLimit), std::future_status::ready);
  EXPECT_EQ(second.get().error(), Error(ErrorCode::communicationError));
  EXPECT_EQ(prompt.requests().size(), 1U);
  // The next request gets a new token and session.
  ASSERT_TRUE(sign(1, "a"));
}

// The extension gets the one socket and nothing else of the host, even a descriptor the host left
// open across exec.
TEST_F(TokenHostTest, TheExtensionInheritsOnlyItsSocket) {
  int leaked[2];
  ASSERT_EQ(::pipe(leaked), 0);
  publish("a", "");
  ASSERT_TRUE(sign(1, "a"));
  ::close(leaked[0]);
  ::close(leaked[1]);
  ASSERT_EQ(processes().size(), 1U);
  const auto line = processes().front();
  EXPECT_NE(line.find(" argc=1 argv0="s + TOKENKIT_SCRIPTED_EXTENSION + " "), std::string::npos) << line;
  EXPECT_NE(line.find(" environment=0 descriptors=0,1,2,3 null=0,1,2"), std::string::npos) << line;
}

// Closing the host closes the extension, which releases what it held and ends by itself.
TEST_F(TokenHostTest, TheExtensionEndsWithTheHost) {
  publish("a", "");
  ASSERT_TRUE(sign(1, "a"));
  const auto pid = lastProcess();
  host.reset();
  EXPECT_EQ(events("a").back(), "release-session");
  EXPECT_EQ(lines().back(), "- exit 0");
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace platform::tokenkit

#include "token-support/token_rendezvous.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/runtime_directory.hpp"
#include "token-support/token_endpoint_store.hpp"
#include "token-support/token_peer_identity.hpp"
#include "token-support/token_protocols.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace std::chrono_literals;
using platform::xpc::Connection;
using platform::xpc::Context;
using platform::xpc::Endpoint;
using platform::xpc::Error;
using platform::xpc::Interface;
using platform::xpc::Listener;
using platform::xpc::RuntimeDirectory;
using platform::xpc::Values;

// What should happen at once is given this long before a test calls it a failure.
constexpr auto eventually = 30s;
constexpr std::string_view teamID = "R7XK2M9QDB";

using Outcome = std::variant<Values, Error>;

// One call's outcome in words: "true"/"false", the registered endpoint's file name ("app-3"),
// "none", or "refused" for a connection the service did not accept: to a named service, a peer
// closing the connection unanswered interrupts it.
std::string describe(const Outcome& outcome) {
  if (const auto* error = std::get_if<Error>(&outcome)) {
    return *error == Error::interrupted ? "refused" : "error " + std::to_string(static_cast<int>(*error));
  }
  const auto& values = std::get<Values>(outcome);
  if (values.size() != 1) return "unexpected reply";
  if (const auto* stored = std::get_if<bool>(&values[0])) return *stored ? "true" : "false";
  if (std::holds_alternative<std::monostate>(values[0])) return "none";
  if (const auto* endpoint = std::get_if<Endpoint>(&values[0])) {
    return endpoint->socketPath.substr(endpoint->socketPath.rfind('/') + 1);
  }
  return "unexpected reply";
}

std::future<Outcome> callAsync(Connection& connection, std::string_view selector, Values arguments) {
  auto answer = std::make_shared<std::promise<Outcome>>();
  auto future = answer->get_future();
  connection.send(
      std::string(selector), std::move(arguments), [answer](Values values) { answer->set_value(std::move(values)); },
      [answer](Error error) { answer->set_value(error); });
  return future;
}

std::string answerOf(std::future<Outcome>& future) {
  if (future.wait_for(eventually) != std::future_status::ready) throw std::runtime_error("a call got no answer");
  return describe(future.get());
}

std::string registerOwner(Connection& connection, const Endpoint& endpoint) {
  auto future = callAsync(connection, TokenOwnerRegistrationProtocol::registerOwnerSelector, {endpoint});
  return answerOf(future);
}

std::string lookUp(Connection& connection) {
  auto future = callAsync(connection, TokenEndpointDirectoryProtocol::ownerEndpointSelector, {});
  return answerOf(future);
}

// The router as its start-up sets it up: one store, a delegate per service sharing it, the two
// listeners; in a runtime directory of its own. `registrationUser` and `directoryUser` are the
// users each delegate takes for its own.
class RouterUnderTest {
public:
  explicit RouterUnderTest(uid_t registrationUser = ::geteuid(), uid_t directoryUser = ::geteuid())
      : registration_(TokenRendezvous::make(store_, TokenRendezvous::Mode::registration, registrationUser)),
        directory_(TokenRendezvous::make(store_, TokenRendezvous::Mode::directory, directoryUser)),
        registrationListener_(Listener::forService(context_, registrationService_)),
        directoryListener_(Listener::forService(context_, directoryService_)) {
    registrationListener_->setDelegate(registration_);
    directoryListener_->setDelegate(directory_);
    registrationListener_->resume();
    directoryListener_->resume();
  }

  // The endpoint of the app instance n; only its path crosses the connection.
  Endpoint app(int n) const { return Endpoint{runtimeDirectory_ + "/app-" + std::to_string(n)}; }

  std::shared_ptr<Connection> connectOwner() {
    return connect(registrationService_, TokenOwnerRegistrationProtocol::interface());
  }
  std::shared_ptr<Connection> connectDirectory() {
    return connect(directoryService_, TokenEndpointDirectoryProtocol::interface());
  }

  // A directory connection the service accepted, retrying while it refuses: a look-up changes
  // nothing, so it can serve as the probe.
  std::shared_ptr<Connection> acceptedDirectory() {
    const auto deadline = std::chrono::steady_clock::now() + eventually;
    while (true) {
      auto connection = connectDirectory();
      if (lookUp(*connection) != "refused") return connection;
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the directory service stays full");
      std::this_thread::sleep_for(10ms);
    }
  }

  // Closes a directory connection and returns once the service has wholly let it go. The service
  // clears the store for a closed connection before it frees its place, so once a full service
  // accepts again, the clearing has happened. `othersOpen` directory connections stay open.
  void closeDirectoryAndSettle(Connection& closing, std::size_t othersOpen) {
    std::vector<std::shared_ptr<Connection>> padding;
    while (othersOpen + 1 + padding.size() < TokenRendezvous::connectionLimit) padding.push_back(acceptedDirectory());
    closing.invalidate();
    padding.push_back(acceptedDirectory());
    for (const auto& connection : padding) connection->invalidate();
  }

private:
  std::shared_ptr<Connection> connect(const std::string& service, Interface interface) {
    auto connection = Connection::toService(context_, service);
    connection->setRemoteInterface(std::move(interface));
    connection->resume();
    clients_.push_back(connection);
    return connection;
  }

  // Destroyed in reverse: the clients, the listeners, the delegates with the connections they
  // hold, the store, then the context, which must outlive every connection of it.
  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  const std::string runtimeDirectory_ = temporary_.path().string() + "/run";
  const std::string registrationService_ = TokenPeerIdentity::registrationServiceName(teamID);
  const std::string directoryService_ = TokenPeerIdentity::directoryServiceName(teamID);
  Context context_{RuntimeDirectory::at(runtimeDirectory_)};
  const std::shared_ptr<TokenEndpointStore> store_ = std::make_shared<TokenEndpointStore>();
  std::shared_ptr<TokenRendezvous> registration_;
  std::shared_ptr<TokenRendezvous> directory_;
  std::shared_ptr<Listener> registrationListener_;
  std::shared_ptr<Listener> directoryListener_;
  std::vector<std::shared_ptr<Connection>> clients_;
};

TEST(TokenRendezvous, TheDirectoryHandsOutWhatTheOwningConnectionRegistered) {
  enum class Act { registerOwner, lookUp, lookUpEventually, closeOwner, closeDirectory };
  struct Step {
    Act act;
    int who;  // which owner or directory connection; each is opened on first use
    int endpoint;
    std::string expected;
  };
  const auto registers = [](int owner, int app, std::string stored) {
    return Step{Act::registerOwner, owner, app, std::move(stored)};
  };
  const auto looksUp = [](int directory, std::string found) { return Step{Act::lookUp, directory, 0, std::move(found)}; };
  // After an owner connection closes: the service learns of it in its own time.
  const auto looksUpEventually = [](int directory, std::string found) {
    return Step{Act::lookUpEventually, directory, 0, std::move(found)};
  };
  const auto closesOwner = [](int owner) { return Step{Act::closeOwner, owner, 0, ""}; };
  const auto closesDirectory = [](int directory) { return Step{Act::closeDirectory, directory, 0, ""}; };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"nothing registered", {looksUp(0, "none")}},
      {"a registered endpoint is handed out", {registers(0, 1, "true"), looksUp(0, "app-1"), looksUp(1, "app-1")}},
      {"the owner connection closing empties the slot for the next owner",
       {registers(0, 1, "true"), closesOwner(0), looksUpEventually(0, "none"), registers(1, 2, "true"),
        looksUp(0, "app-2")}},
      {"a second owner connection is refused and the first keeps the slot",
       {registers(0, 1, "true"), registers(1, 2, "false"), looksUp(0, "app-1"), registers(0, 3, "true"),
        looksUp(0, "app-3")}},
      {"the owner connection registering again replaces its endpoint",
       {registers(0, 1, "true"), looksUp(0, "app-1"), registers(0, 2, "true"), looksUp(0, "app-2")}},
      {"a directory connection closing leaves the slot",
       {registers(0, 1, "true"), looksUp(0, "app-1"), closesDirectory(0), looksUp(1, "app-1"),
        registers(1, 2, "false")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RouterUnderTest router;
    std::map<int, std::shared_ptr<Connection>> owners;
    std::map<int, std::shared_ptr<Connection>> directories;
    const auto directory = [&](int who) -> Connection& {
      auto& connection = directories[who];
      if (!connection) connection = router.acceptedDirectory();
      return *connection;
    };
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& step = c.steps[i];
      switch (step.act) {
        case Act::registerOwner: {
          auto& owner = owners[step.who];
          if (!owner) owner = router.connectOwner();
          EXPECT_EQ(registerOwner(*owner, router.app(step.endpoint)), step.expected);
          break;
        }
        case Act::lookUp:
          EXPECT_EQ(lookUp(directory(step.who)), step.expected);
          break;
        case Act::lookUpEventually: {
          const auto deadline = std::chrono::steady_clock::now() + eventually;
          std::string found = lookUp(directory(step.who));
          while (found != step.expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            found = lookUp(directory(step.who));
          }
          EXPECT_EQ(found, step.expected);
          break;
        }
        case Act::closeOwner:
          owners.at(step.who)->invalidate();
          owners.erase(step.who);
          break;
        case Act::closeDirectory: {
          const auto closing = directories.at(step.who);
          directories.erase(step.who);
          router.closeDirectoryAndSettle(*closing, directories.size());
          break;
        }
      }
    }
  }
}

TEST(TokenRendezvous, OfConcurrentRegistrationsExactlyOneOwnsTheSlot) {
  RouterUnderTest router;
  constexpr int owners = static_cast<int>(TokenRendezvous::connectionLimit);
  std::vector<std::shared_ptr<Connection>> connections;
  for (int i = 0; i < owners; ++i) connections.push_back(router.connectOwner());
  std::vector<std::future<Outcome>> answers;
  for (int i = 0; i < owners; ++i) {
    answers.push_back(callAsync(*connections[i], TokenOwnerRegistrationProtocol::registerOwnerSelector, {router.app(i)}));
  }
  std::vector<int> winners;
  for (int i = 0; i < owners; ++i) {
    const std::string answer = answerOf(answers[i]);
    EXPECT_TRUE(answer == "true" || answer == "false") << answer;
    if (answer == "true") winners.push_back(i);
  }
  ASSERT_EQ(winners.size(), 1u);
  EXPECT_EQ(lookUp(*router.acceptedDirectory()), "app-" + std::to_string(winners[0]));
}

TEST(TokenRendezvous, AFullServiceRefusesANinthConnectionUntilOneClosesWhileTheOtherServiceAccepts) {
  struct Case {
    const char* name;
    bool registrationFull;
  };
  for (const Case& c : {Case{"registration service full", true}, Case{"directory service full", false}}) {
    SCOPED_TRACE(c.name);
    RouterUnderTest router;
    auto holder = router.connectOwner();
    ASSERT_EQ(registerOwner(*holder, router.app(0)), "true");

    // On the full service each connection shows it was accepted by an answer that changes nothing.
    const auto connectToFull = [&] { return c.registrationFull ? router.connectOwner() : router.connectDirectory(); };
    const auto probeFull = [&](Connection& connection) {
      return c.registrationFull ? registerOwner(connection, router.app(9)) : lookUp(connection);
    };
    const std::string acceptedAnswer = c.registrationFull ? "false" : "app-0";

    std::vector<std::shared_ptr<Connection>> held;
    if (c.registrationFull) held.push_back(holder);
    while (held.size() < TokenRendezvous::connectionLimit) {
      held.push_back(connectToFull());
      ASSERT_EQ(probeFull(*held.back()), acceptedAnswer) << held.size();
    }
    EXPECT_EQ(probeFull(*connectToFull()), "refused");

    // The other service keeps its own count.
    std::shared_ptr<Connection> directory;
    if (c.registrationFull) {
      directory = router.connectDirectory();
      EXPECT_EQ(lookUp(*directory), "app-0");
    } else {
      EXPECT_EQ(registerOwner(*router.connectOwner(), router.app(1)), "false");
    }

    held.back()->invalidate();  // not the holder of the slot
    const auto deadline = std::chrono::steady_clock::now() + eventually;
    std::string answer = probeFull(*connectToFull());
    while (answer == "refused" && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
      answer = probeFull(*connectToFull());
    }
    EXPECT_EQ(answer, acceptedAnswer);
    if (c.registrationFull) {
      EXPECT_EQ(lookUp(*directory), "app-0");
    }
  }
}

TEST(TokenRendezvous, APeerOfAnotherUserIsRefused) {
  // This process is the peer on both ends; a delegate that takes another user for its own sees it
  // as a process of another user.
  const uid_t ownUser = ::geteuid();
  const uid_t anotherUser = ownUser + 1;
  struct Case {
    const char* name;
    uid_t registrationUser;
    uid_t directoryUser;
    std::string registered;
    std::string lookedUp;
  };
  const std::vector<Case> cases = {
      {"at the registration service, which then stores nothing", anotherUser, ownUser, "refused", "none"},
      {"at the directory service", ownUser, anotherUser, "true", "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RouterUnderTest router(c.registrationUser, c.directoryUser);
    EXPECT_EQ(registerOwner(*router.connectOwner(), router.app(1)), c.registered);
    EXPECT_EQ(lookUp(*router.connectDirectory()), c.lookedUp);
  }
}

}  // namespace
}  // namespace corvanta

#include "tools/ctk/ctk_command.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/tokenkit/client/token_host_server.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace corvanta::ctk {
namespace {

namespace tokenkit = platform::tokenkit;
namespace xpc = platform::xpc;
using platform::Bytes;

const std::string usageLine = "usage: ctk list | ctk sign --key KEY --algorithm ALG --digest HEX";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& stream, const Outcome& outcome) {
  return stream << "status " << outcome.status << ", out \"" << outcome.out << "\", err \"" << outcome.err << "\"";
}

Outcome run(const std::vector<std::string>& arguments, const std::function<std::string()>& hostSocketPath) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = runCtk(arguments, out, err, hostSocketPath);
  return {status, out.str(), err.str()};
}

// Answers as the test says and records who asked.
class FakeHostService final : public tokenkit::TokenHostService {
public:
  std::vector<tokenkit::HostedToken> tokens() override {
    const std::lock_guard lock(mutex_);
    return tokens_;
  }
  tokenkit::Result<Bytes> sign(const tokenkit::TokenClient& client, const std::string& keyObjectID,
                               const std::string& algorithmID, const Bytes& digest) override {
    const std::lock_guard lock(mutex_);
    clientNames_.push_back(client.name);
    requests_.push_back(keyObjectID + " " + algorithmID + " " + platform::foundation::lowercaseHex(digest));
    return answer_;
  }
  void clientGone(std::uint64_t) override {}

  void setTokens(std::vector<tokenkit::HostedToken> tokens) {
    const std::lock_guard lock(mutex_);
    tokens_ = std::move(tokens);
  }
  void setAnswer(tokenkit::Result<Bytes> answer) {
    const std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }
  std::vector<std::string> requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> clientNames() const {
    const std::lock_guard lock(mutex_);
    return clientNames_;
  }

private:
  mutable std::mutex mutex_;
  std::vector<tokenkit::HostedToken> tokens_;
  tokenkit::Result<Bytes> answer_ = Bytes{};
  std::vector<std::string> requests_;
  std::vector<std::string> clientNames_;
};

// A runtime directory of its own under /tmp, so that socket paths fit their address.
class Runtime {
public:
  Runtime() : directory_(xpc::RuntimeDirectory::at(temporary_.path().string())) {}
  const xpc::RuntimeDirectory& directory() const { return directory_; }
  std::function<std::string()> socketPath() const {
    return [path = tokenkit::tokenHostSocketPath(directory_)] { return path; };
  }

private:
  platform::foundation::testing::TemporaryDirectory temporary_{"/tmp"};
  xpc::RuntimeDirectory directory_;
};

TEST(Ctk, ArgumentsThatAreNotACommandEndBeforeTheHostIsSought) {
  const std::string digest32(64, 'a');
  const std::string digest65(130, '0');
  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  };
  const std::vector<Row> rows = {
      {{}, exitUsage, "ctk: no command given; " + usageLine + "\n"},
      {{"frobnicate"}, exitUsage, "ctk: unknown command \"frobnicate\"; " + usageLine + "\n"},
      {{"lis\nt"}, exitUsage, "ctk: unknown command \"lis\\nt\"; " + usageLine + "\n"},
      {{"list", "--all"}, exitUsage, "ctk: list takes no arguments; " + usageLine + "\n"},
      {{"sign"}, exitUsage, "ctk: sign needs --key; " + usageLine + "\n"},
      {{"sign", "--key", "k", "--digest", digest32}, exitUsage, "ctk: sign needs --algorithm; " + usageLine + "\n"},
      {{"sign", "--key", "k", "--algorithm", "a"}, exitUsage, "ctk: sign needs --digest; " + usageLine + "\n"},
      {{"sign", "--algorithm", "a", "--digest", digest32}, exitUsage, "ctk: sign needs --key; " + usageLine + "\n"},
      {{"sign", "--key"}, exitUsage, "ctk: --key needs a value; " + usageLine + "\n"},
      {{"sign", "--key", "", "--algorithm", "a", "--digest", digest32},
       exitUsage,
       "ctk: --key needs a value; " + usageLine + "\n"},
      {{"sign", "--key", "k", "--key", "j", "--algorithm", "a", "--digest", digest32},
       exitUsage,
       "ctk: --key given twice; " + usageLine + "\n"},
      {{"sign", "--key", "k", "--algorithm", "a", "--digest", digest32, "--colour", "red"},
       exitUsage,
       "ctk: unknown argument \"--colour\"; " + usageLine + "\n"},
      {{"sign", "--key", "k", "--algorithm", "a", "--digest", "abc"},
       exitInvalidDigest,
       "ctk: the digest has an odd number of hexadecimal digits\n"},
      {{"sign", "--key", "k", "--algorithm", "a", "--digest", "zz"},
       exitInvalidDigest,
       "ctk: the digest is not hexadecimal\n"},
      {{"sign", "--key", "k", "--algorithm", "a", "--digest", "0x00"},
       exitInvalidDigest,
       "ctk: the digest is not hexadecimal\n"},
      {{"sign", "--key", "k", "--algorithm", "a", "--digest", digest65},
       exitInvalidDigest,
       "ctk: the digest has 65 bytes; a digest has at most 64\n"},
  };
  for (const auto& row : rows) {
    bool sought = false;
    const auto outcome = run(row.arguments, [&] {
      sought = true;
      return std::string("/nonexistent/tokenhost");
    });
    EXPECT_EQ(outcome, (Outcome{row.status, "", row.err})) << row.err;
    EXPECT_FALSE(sought) << row.err;
  }
}

TEST(Ctk, AHostThatCannotBeReachedEndsWithItsOwnStatus) {
  const Runtime runtime;
  const auto path = runtime.socketPath()();
  EXPECT_EQ(run({"list"}, runtime.socketPath()),
            (Outcome{exitHostUnreachable, "", "ctk: the token host is not running at " + path + "\n"}));

  // A directory others may write into could hold anyone's socket.
  const platform::foundation::testing::TemporaryDirectory open("/tmp");
  ::chmod(open.path().c_str(), 0755);
  const auto outcome =
      run({"list"}, [&] { return tokenkit::tokenHostSocketPath(xpc::RuntimeDirectory::at(open.path().string())); });
  EXPECT_EQ(outcome.status, exitHostUnreachable);
  EXPECT_EQ(outcome.err, "ctk: runtime directory is open to other users: " + open.path().string() + "\n");
  EXPECT_EQ(outcome.out, "");
}

class CtkWithHost : public ::testing::Test {
protected:
  void start(tokenkit::TokenHostServerOptions options = {}) { server_.emplace(runtime_.directory(), service_, options); }
  Outcome ctk(const std::vector<std::string>& arguments) { return run(arguments, runtime_.socketPath()); }

  Runtime runtime_;
  FakeHostService service_;
  std::optional<tokenkit::TokenHostServer> server_;
};

tokenkit::HostedToken sampleToken() {
  tokenkit::KeychainKey signing;
  signing.objectID = "key:0123";
  signing.label = "Signing\tkey\n2";
  signing.canSign = true;
  signing.canDecrypt = true;
  signing.constraints = {{tokenkit::Operation::signData, tokenkit::Constraint{std::string("corvanta.totp.per-request.v1")}},
                         {tokenkit::Operation::decryptData, tokenkit::Constraint{false}}};
  tokenkit::KeychainKey exchange;
  exchange.objectID = "key:exchange";
  exchange.label = "Exchange";
  exchange.canDecrypt = true;
  exchange.canPerformKeyExchange = true;
  exchange.constraints = {{tokenkit::Operation::performKeyExchange, tokenkit::Constraint{true}}};
  tokenkit::KeychainKey idle;
  idle.objectID = "key:idle";
  idle.label = "Idle \xC2\x9B" "31m";
  tokenkit::KeychainCertificate certificate{"cert:0123", "Certificate", {}};
  return {"ro.corvanta.sign.development.Token", "0123", {certificate, signing, exchange, idle}};
}

TEST_F(CtkWithHost, ListShowsEachTokenWithWhatItsKeysCanDo) {
  service_.setTokens({sampleToken(), {"other.driver", "4567", {}}});
  start();
  EXPECT_EQ(ctk({"list"}), (Outcome{exitSuccess,
                                    "0123\n"
                                    "\tkey:0123\tSigning\\tkey\\n2\tsign\n"
                                    "\tkey:exchange\tExchange\tdecrypt,key-exchange\n"
                                    "\tkey:idle\tIdle \\u009b31m\tnothing\n"
                                    "4567\n",
                                    ""}));
}

TEST_F(CtkWithHost, SignPrintsTheSignatureInLowerCaseHex) {
  service_.setAnswer(Bytes{0x30, 0x45, 0xAB, 0x00, 0xFF});
  start();
  EXPECT_EQ(ctk({"sign", "--digest", "00FFab", "--algorithm", "algid:sign:ECDSA:digest-X962:SHA256", "--key",
                 "key:0123"}),
            (Outcome{exitSuccess, "3045ab00ff\n", ""}));
  EXPECT_EQ(service_.requests(), std::vector<std::string>{"key:0123 algid:sign:ECDSA:digest-X962:SHA256 00ffab"});
  const std::string digest64(128, 'f');
  EXPECT_EQ(ctk({"sign", "--key", "k", "--algorithm", "a", "--digest", digest64}).status, exitSuccess);
}

TEST_F(CtkWithHost, EachTokenErrorShowsItsCodeAndTextOnOneLine) {
  using tokenkit::Error;
  using tokenkit::ErrorCode;
  const std::vector<std::pair<Error, std::string>> rows = {
      {Error(ErrorCode::canceledByUser), "ctk: token error -4 (canceledByUser)\n"},
      {Error(ErrorCode::communicationError, std::string("The token session is no longer available.")),
       "ctk: token error -2 (communicationError): The token session is no longer available.\n"},
      {Error(ErrorCode::authenticationFailed, std::string("The code\nis wrong.")),
       "ctk: token error -5 (authenticationFailed): The code\\nis wrong.\n"},
      {Error(ErrorCode::communicationError, std::string()), "ctk: token error -2 (communicationError): \n"},
      {Error(ErrorCode::notImplemented), "ctk: token error -1 (notImplemented)\n"},
      {Error(ErrorCode::corruptedData), "ctk: token error -3 (corruptedData)\n"},
      {Error(ErrorCode::objectNotFound), "ctk: token error -6 (objectNotFound)\n"},
      {Error(ErrorCode::tokenNotFound), "ctk: token error -7 (tokenNotFound)\n"},
      {Error(ErrorCode::badParameter), "ctk: token error -8 (badParameter)\n"},
      {Error(ErrorCode::authenticationNeeded), "ctk: token error -9 (authenticationNeeded)\n"},
      {Error(12345, std::string("elsewhere")), "ctk: token error 12345: elsewhere\n"},
  };
  start();
  for (const auto& [error, line] : rows) {
    service_.setAnswer(error);
    EXPECT_EQ(ctk({"sign", "--key", "k", "--algorithm", "a", "--digest", "00"}), (Outcome{exitTokenError, "", line}));
  }
}

TEST_F(CtkWithHost, AConnectionTheHostEndsIsAFailedConnection) {
  tokenkit::TokenHostServerOptions options;
  options.ownEffectiveUID = ::geteuid() + 1;  // this process is a stranger to it
  start(options);
  const auto outcome = ctk({"list"});
  EXPECT_EQ(outcome.status, exitConnectionFailed);
  EXPECT_EQ(outcome.err.rfind("ctk: the token host ended the connection", 0), 0U) << outcome.err;
  EXPECT_EQ(outcome.out, "");
}

TEST_F(CtkWithHost, AResultThatCannotBeWrittenIsNoSuccess) {
  start();
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  std::ostringstream err;
  EXPECT_EQ(runCtk({"sign", "--key", "k", "--algorithm", "a", "--digest", "00"}, out, err, runtime_.socketPath()),
            exitOutputFailed);
  EXPECT_EQ(err.str(), "ctk: cannot write to standard output\n");
}

// ---- the programs themselves ----

std::string readAll(int descriptor) {
  std::string text;
  std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return text;
    text.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

// Runs the program with the arguments and its standard output and error captured.
Outcome runProgram(const std::vector<std::string>& command) {
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " + command[0]);
  // Small outputs both: reading one to its end cannot block the other.
  Outcome outcome;
  outcome.out = readAll(out[0]);
  outcome.err = readAll(err[0]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

TEST(CtkProgram, FailuresOfTheCommandLineEndTheProgramWithTheirStatus) {
  const std::vector<std::pair<std::vector<std::string>, Outcome>> rows = {
      {{CTK_EXECUTABLE}, {exitUsage, "", "ctk: no command given; " + usageLine + "\n"}},
      {{CTK_EXECUTABLE, "unknown"}, {exitUsage, "", "ctk: unknown command \"unknown\"; " + usageLine + "\n"}},
      {{CTK_EXECUTABLE, "sign", "--key", "k", "--algorithm", "a", "--digest", "abc"},
       {exitInvalidDigest, "", "ctk: the digest has an odd number of hexadecimal digits\n"}},
  };
  for (const auto& [command, expected] : rows) EXPECT_EQ(runProgram(command), expected);
}

TEST_F(CtkWithHost, TheProgramListsAndSignsThroughTheHostWhichNamesItAfterItsExecutable) {
  service_.setTokens({sampleToken()});
  service_.setAnswer(Bytes{0xDE, 0xAD});
  start();
  const auto directory = runtime_.directory().path();
  const auto listed = runProgram({CTK_TEST_TOOL, directory, "list"});
  EXPECT_EQ(listed.status, exitSuccess) << listed;
  EXPECT_EQ(listed.out.rfind("0123\n\tkey:0123\t", 0), 0U) << listed;
  EXPECT_EQ(runProgram({CTK_TEST_TOOL, directory, "sign", "--key", "key:0123", "--algorithm", "a", "--digest", "01"}),
            (Outcome{exitSuccess, "dead\n", ""}));
  EXPECT_EQ(service_.clientNames(), std::vector<std::string>{"ctk_test_tool"});

  service_.setAnswer(tokenkit::Error(tokenkit::ErrorCode::canceledByUser));
  EXPECT_EQ(runProgram({CTK_TEST_TOOL, directory, "sign", "--key", "key:0123", "--algorithm", "a", "--digest", "01"}),
            (Outcome{exitTokenError, "", "ctk: token error -4 (canceledByUser)\n"}));
  server_.reset();
  EXPECT_EQ(runProgram({CTK_TEST_TOOL, directory, "list"}).status, exitHostUnreachable);
}

}  // namespace
}  // namespace corvanta::ctk

#include "platform/codesign/system_code_signing.hpp"

#include "platform/codesign/requirement.hpp"
#include "platform/codesign/tests/print_identity.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace platform::codesign {
namespace {

const CodeIdentity ownIdentity{IdentityRecord{"ro.corvanta.sign.test.Codesign", "CODESIGN01"}};
const CodeIdentity signedPeerIdentity{IdentityRecord{"ro.corvanta.sign.test.Peer", "PEERTEAM01"}};

// One of the peer programs, running until the test ends it; it has started its own program
// (not a copy of the test) once the constructor returns.
class PeerProcess {
public:
  explicit PeerProcess(const char* program) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    char* arguments[] = {const_cast<char*>(program), nullptr};
    const int failure = ::posix_spawn(&pid_, program, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    char ready = 0;
    const bool started = failure == 0 && ::read(output[0], &ready, 1) == 1;
    ::close(output[0]);
    if (!started) throw std::runtime_error(std::string("cannot start ") + program);
  }
  ~PeerProcess() { reap(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Ended and reaped: its identifier is free for the next process the system starts.
  void reap() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    reapedPid_ = pid_;
    pid_ = -1;
  }
  pid_t reapedPid() const { return reapedPid_; }

  // Ended but not reaped: a zombie that still holds its identifier.
  void endWithoutReaping() {
    ::kill(pid_, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }

private:
  pid_t pid_ = -1;
  pid_t reapedPid_ = -1;
  int input_ = -1;
};

TEST(SystemCodeSigning, ReadsItsOwnRecord) {
  EXPECT_EQ(SystemCodeSigning().selfIdentity(), ownIdentity);
}

TEST(SystemCodeSigning, ReadsAPeerWithAndWithoutRecordUnderEitherGuard) {
  for (const auto guard : {ReuseGuard::automatic, ReuseGuard::startTime}) {
    const SystemCodeSigning codeSigning({.guard = guard, .afterReadingPeer = {}});
    const PeerProcess signedPeer(CODESIGN_SIGNED_PEER);
    const PeerProcess unsignedPeer(CODESIGN_UNSIGNED_PEER);
    EXPECT_EQ(codeSigning.identityOfProcess(signedPeer.pid()), signedPeerIdentity);
    EXPECT_EQ(codeSigning.identityOfProcess(unsignedPeer.pid()), CodeIdentity{});
    EXPECT_EQ(codeSigning.identityOfProcess(::getpid()), ownIdentity);
  }
}

TEST(SystemCodeSigning, AProcessThatEndedHasNoIdentity) {
  for (const auto guard : {ReuseGuard::automatic, ReuseGuard::startTime}) {
    const SystemCodeSigning codeSigning({.guard = guard, .afterReadingPeer = {}});
    PeerProcess reaped(CODESIGN_SIGNED_PEER);
    reaped.reap();
    EXPECT_EQ(codeSigning.identityOfProcess(reaped.reapedPid()), std::nullopt);

    PeerProcess zombie(CODESIGN_SIGNED_PEER);
    zombie.endWithoutReaping();
    EXPECT_EQ(codeSigning.identityOfProcess(zombie.pid()), std::nullopt);

    EXPECT_EQ(codeSigning.identityOfProcess(0), std::nullopt);
    EXPECT_EQ(codeSigning.identityOfProcess(-1), std::nullopt);
  }
}

// The peer ends after its executable was read: what was read may already belong to another
// process under the same identifier, so it must not be returned.
TEST(SystemCodeSigning, APeerThatEndsWhileItIsReadHasNoIdentity) {
  for (const auto guard : {ReuseGuard::automatic, ReuseGuard::startTime}) {
    PeerProcess peer(CODESIGN_SIGNED_PEER);
    int calls = 0;
    const SystemCodeSigning codeSigning({.guard = guard, .afterReadingPeer = [&](pid_t) {
                                           ++calls;
                                           peer.reap();
                                         }});
    EXPECT_EQ(codeSigning.identityOfProcess(peer.pid()), std::nullopt);
    EXPECT_EQ(calls, 1);
  }
}

// A process directory of the test's own, whose entry for one identifier the test replaces in
// the middle of a read, as the system does when the identifier is reused.
class FakeProcessDirectory {
public:
  const std::filesystem::path& path() const { return directory_.path(); }

  void setProcess(pid_t pid, const std::string& executable, const std::string& startTime) {
    const auto directory = path() / std::to_string(pid);
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "stat") << pid << " (peer) program) S 1 " << pid
                                      << " 0 0 -1 4194304 100 0 0 0 1 1 0 0 20 0 1 0 " << startTime
                                      << " 1000 100 18446744073709551615\n";
    std::filesystem::remove(directory / "exe");
    std::filesystem::create_symlink(executable, directory / "exe");
  }

private:
  foundation::testing::TemporaryDirectory directory_;
};

constexpr pid_t fakePid = 4242;

TEST(SystemCodeSigning, StartTimeGuardRefusesAnIdentifierReusedDuringTheRead) {
  struct Case {
    const char* name;
    const char* startTimeBefore;
    const char* startTimeAfter;
    const char* executableAfter;
    std::optional<CodeIdentity> expected;
  };
  for (const auto& [name, before, after, executableAfter, expected] : {
           Case{"same process", "777", "777", CODESIGN_SIGNED_PEER, signedPeerIdentity},
           Case{"reused by another program", "777", "778", CODESIGN_UNSIGNED_PEER, std::nullopt},
           Case{"reused by the same program", "777", "778", CODESIGN_SIGNED_PEER, std::nullopt},
           Case{"unreadable start time", "7x7", "7x7", CODESIGN_SIGNED_PEER, std::nullopt},
       }) {
    FakeProcessDirectory processes;
    processes.setProcess(fakePid, CODESIGN_SIGNED_PEER, before);
    const SystemCodeSigning codeSigning({.processDirectory = processes.path(),
                                         .guard = ReuseGuard::startTime,
                                         .afterReadingPeer = [&](pid_t pid) {
                                           processes.setProcess(pid, executableAfter, after);
                                         }});
    EXPECT_EQ(codeSigning.identityOfProcess(fakePid), expected) << name;
  }
}

TEST(SystemCodeSigning, CheckProcessAgainstRealPeers) {
  const SystemCodeSigning codeSigning;
  const PeerProcess signedPeer(CODESIGN_SIGNED_PEER);
  const PeerProcess unsignedPeer(CODESIGN_UNSIGNED_PEER);
  const std::string peerRequirement =
      R"(anchor apple generic and certificate leaf[subject.OU] = "PEERTEAM01" and identifier "ro.corvanta.sign.test.Peer")";
  EXPECT_TRUE(checkProcess(codeSigning, signedPeer.pid(), peerRequirement));
  EXPECT_FALSE(checkProcess(codeSigning, unsignedPeer.pid(), peerRequirement));
  EXPECT_FALSE(checkProcess(codeSigning, ::getpid(), peerRequirement));
}

}  // namespace
}  // namespace platform::codesign

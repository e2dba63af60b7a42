#include "platform/tokenkit/prompt/pinentry_prompt.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/foundation/unique_fd.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

using namespace std::chrono_literals;
using foundation::testing::TemporaryDirectory;
using Clock = std::chrono::steady_clock;

const PromptRequest request{"3f2a9c", "Jane Doe (Signing)", "Firefox"};

// A scripted pinentry in a temporary directory: the script file it runs as, and the log it keeps
// of how it was started and of every command it received.
class ScriptedPinentry {
public:
  explicit ScriptedPinentry(std::string_view mode, std::string_view payload = "") : log_(directory_.path() / "log") {
    program_ = directory_.write("pinentry", "#!" SCRIPTED_PINENTRY " " + log_.string() + "\n" + std::string(mode) +
                                                "\n" + std::string(payload));
    std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
  }

  const std::filesystem::path& program() const { return program_; }

  // The logged lines of one kind ("pid", "argument", "environment", "descriptor", "command"),
  // without the kind.
  std::vector<std::string> logged(std::string_view kind) const {
    std::ifstream file(log_);
    std::vector<std::string> lines;
    const std::string prefix = std::string(kind) + " ";
    for (std::string line; std::getline(file, line);) {
      if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }

  // The pinentry's process, once it has started.
  std::optional<pid_t> pid() const {
    const auto pids = logged("pid");
    if (pids.size() != 1) return std::nullopt;
    return static_cast<pid_t>(std::stol(pids.front()));
  }

private:
  TemporaryDirectory directory_;
  std::filesystem::path log_;
  std::filesystem::path program_;
};

// Whether the process (-1: every child) is gone and reaped: a child still running or a zombie would
// be reported by waitpid (and the zombie reaped by it) instead of ECHILD.
bool reaped(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }

struct Asked {
  std::optional<std::string> code;
  Clock::duration took;
};

Asked ask(const std::filesystem::path& program, std::chrono::milliseconds limit,
          const PinentryEnvironment& environment = {}) {
  PinentryPrompt prompt(program, environment, limit);
  const auto start = Clock::now();
  auto code = prompt.ask(request);
  return Asked{std::move(code), Clock::now() - start};
}

// Long enough that every conversation below ends by itself; short enough to end a broken one.
constexpr auto roomyLimit = std::chrono::milliseconds(30s);

TEST(PinentryPrompt, WhatThePinentryAnswersGivesTheCodeOrNone) {
  struct Case {
    const char* name;
    const char* mode;
    std::string payload;
    std::optional<std::string> code;
  };
  const std::vector<Case> cases = {
      {"six digits, returned exactly", "reply", "D 012345\nOK\n", "012345"},
      {"the entry over data lines, with status and comment lines between", "reply",
       "# entered\nS PROGRESS 1\nD 01\nD 23\nS PROGRESS 2\nD 45\nOK\n", "012345"},
      {"escaped data", "reply", "D %30%31%32%33%34%35\nOK\n", "012345"},
      {"escaped bytes that cannot stand in a line", "reply", "D 1%25%0A%0d2\nOK\n", "1%\n\r2"},
      {"an empty entry", "reply", "OK\n", ""},
      {"an answer after the usual greeting", "reply", "D 123456\nOK Done\n", "123456"},
      {"cancelled", "reply", "ERR 83886179 Operation cancelled <Pinentry>\n", std::nullopt},
      {"another error", "reply", "ERR 83886142 Timeout <Pinentry>\n", std::nullopt},
      {"an error after data", "reply", "D 123456\nERR 83886179 Operation cancelled <Pinentry>\n", std::nullopt},
      {"an unknown keyword", "reply", "PIN 123456\nOK\n", std::nullopt},
      {"a keyword run into its data", "reply", "D123456\nOK\n", std::nullopt},
      {"a misspelt completion", "reply", "D 123456\nOKAY\n", std::nullopt},
      {"a broken escape", "reply", "D 12%3G56\nOK\n", std::nullopt},
      {"a raw CR", "reply", "D 123456\r\nOK\n", std::nullopt},
      {"a line over the limit", "reply", "D " + std::string(1200, '1') + "\nOK\n", std::nullopt},
      {"an entry over the limit", "reply", "D " + std::string(900, '1') + "\nD " + std::string(900, '1') + "\nOK\n",
       std::nullopt},
      {"an inquiry", "reply", "INQUIRE QUALITY 123456\n", std::nullopt},
      {"ends after the data", "reply-then-exit", "D 123456\n", std::nullopt},
      {"ends in the middle of a line", "reply-then-exit", "D 1234", std::nullopt},
      {"a bare greeting", "greet", "OK\n", "123456"},
      {"a comment before the greeting", "greet", "# welcome\nOK Pleased to meet you\n", "123456"},
      {"a greeting without OK", "greet", "Pleased to meet you\n", std::nullopt},
      {"an error for a greeting", "greet", "ERR 1 not now\n", std::nullopt},
      {"data for a greeting", "greet", "D 123456\nOK\n", std::nullopt},
      {"the title refused", "refuse", "SETTITLE", std::nullopt},
      {"the description refused", "refuse", "SETDESC", std::nullopt},
      {"the prompt refused", "refuse", "SETPROMPT", std::nullopt},
      {"ends before greeting", "exit-at-start", "", std::nullopt},
      {"ends after greeting", "exit-after-greeting", "", std::nullopt},
      // Writing to it fails; the failure must not raise SIGPIPE in the host.
      {"stops reading before our first command", "stop-reading", "", std::nullopt},
      // It answered completely; that it then ignores BYE costs it its life, not the code.
      {"answers, then ignores BYE", "linger-after-reply", "", "123456"},
  };
  for (const auto& testCase : cases) {
    const ScriptedPinentry pinentry(testCase.mode, testCase.payload);
    const auto asked = ask(pinentry.program(), roomyLimit);
    EXPECT_EQ(asked.code, testCase.code) << testCase.name;
    EXPECT_LT(asked.took, 10s) << testCase.name;
    const auto pid = pinentry.pid();
    ASSERT_TRUE(pid) << testCase.name;
    EXPECT_TRUE(reaped(*pid)) << testCase.name;
  }
}

TEST(PinentryPrompt, AProgramThatCannotRunGivesNone) {
  const TemporaryDirectory directory;
  const auto notExecutable = directory.write("pinentry", "#!/bin/sh\necho OK\n");
  EXPECT_EQ(ask(directory.path() / "absent", roomyLimit).code, std::nullopt);
  EXPECT_EQ(ask(notExecutable, roomyLimit).code, std::nullopt);
  EXPECT_EQ(ask(directory.path(), roomyLimit).code, std::nullopt);
}

TEST(PinentryPrompt, SendsOurTextsEscapedThenAsksForTheEntryAndSaysGoodbye) {
  const ScriptedPinentry pinentry("reply", "D 123456\nOK\n");
  PinentryPrompt prompt(pinentry.program(), {}, roomyLimit);
  EXPECT_EQ(prompt.ask(PromptRequest{"3f2a9c", "100% Jane\nDoe", "Firefox"}), "123456");

  const std::vector<std::string> expected = {
      "SETTITLE Corvanta Sign",
      "SETDESC \xE2\x80\x9C" "Firefox\xE2\x80\x9D asks to sign with your certificate \xE2\x80\x9C"
      "100%25 Jane%0ADoe\xE2\x80\x9D.%0A%0AEnter the current six-digit code from your authenticator app.",
      "SETPROMPT Code:",
      "GETPIN",
      "BYE",
  };
  EXPECT_EQ(pinentry.logged("command"), expected);
}

TEST(PinentryPrompt, APinentryGetsOnlyTheVariablesThatReachTheUserAndTheTerminalByName) {
  const PinentryEnvironment desktop = {
      {"DISPLAY", ":7"},
      {"XAUTHORITY", "/home/jane/.Xauthority"},
      {"HOME", "/home/jane"},
      {"WAYLAND_DISPLAY", "wayland-0"},
      {"XDG_RUNTIME_DIR", "/run/user/1000"},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus"},
      {"GPG_TTY", "/dev/pts/9"},
      {"TERM", "xterm-256color"},
      {"LANG", "en_GB.UTF-8"},
      {"LC_ALL", "C.UTF-8"},
      {"LC_CTYPE", "en_GB.UTF-8"},
      {"LC_MESSAGES", "en_GB.UTF-8"},
  };
  auto everything = desktop;
  everything.insert({{"PATH", "/usr/bin:/bin"},
                     {"LD_PRELOAD", "/tmp/evil.so"},
                     {"LD_LIBRARY_PATH", "/tmp"},
                     {"CORVANTA_ACCESS_TOKEN", "secret"},
                     {"SSH_AUTH_SOCK", "/tmp/ssh-agent"},
                     {"display", "lower case is another name"}});
  std::set<std::string> desktopEntries;
  for (const auto& [name, value] : desktop) desktopEntries.insert(name + "=" + value);

  struct Case {
    const char* name;
    PinentryEnvironment given;
    std::set<std::string> passed;
    std::vector<std::string> arguments;
  };
  const std::vector<Case> cases = {
      {"none", {}, {}, {}},
      {"all the host has", everything, desktopEntries, {"--ttyname", "/dev/pts/9", "--ttytype", "xterm-256color"}},
      {"a display only", {{"DISPLAY", ":0"}, {"PATH", "/bin"}}, {"DISPLAY=:0"}, {}},
      {"a terminal only", {{"GPG_TTY", "/dev/tty3"}}, {"GPG_TTY=/dev/tty3"}, {"--ttyname", "/dev/tty3"}},
      {"an empty terminal name", {{"GPG_TTY", ""}, {"TERM", ""}}, {"GPG_TTY=", "TERM="}, {}},
  };
  for (const auto& testCase : cases) {
    const ScriptedPinentry pinentry("reply", "D 123456\nOK\n");
    EXPECT_EQ(ask(pinentry.program(), roomyLimit, testCase.given).code, "123456") << testCase.name;
    const auto environment = pinentry.logged("environment");
    EXPECT_EQ(std::set<std::string>(environment.begin(), environment.end()), testCase.passed) << testCase.name;
    EXPECT_EQ(environment.size(), testCase.passed.size()) << testCase.name;
    EXPECT_EQ(pinentry.logged("argument"), testCase.arguments) << testCase.name;
  }
}

// The standard signals (1 to 31) of a logged signal mask; the C library reserves the first
// real-time ones for itself and sets them up as it likes.
std::uint64_t standardSignals(const std::vector<std::string>& masks) {
  if (masks.size() != 1) throw std::runtime_error("no signal mask logged");
  return std::stoull(masks.front(), nullptr, 16) & 0x7FFFFFFFu;
}

// The host may hold descriptors that someone opened without close-on-exec, and may ignore or
// block signals; none of that reaches the pinentry.
TEST(PinentryPrompt, APinentryHoldsOnlyItsConversationAndDefaultSignalHandling) {
  const foundation::UniqueFd inheritable(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(inheritable);
  ASSERT_EQ(::fcntl(inheritable.get(), F_GETFD) & FD_CLOEXEC, 0);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previousPipe {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previousPipe), 0);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigset_t previousMask;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);

  const ScriptedPinentry pinentry("reply", "D 123456\nOK\n");
  const auto code = ask(pinentry.program(), roomyLimit).code;

  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGPIPE, &previousPipe, nullptr);

  EXPECT_EQ(code, "123456");
  std::map<int, std::string> descriptors;
  for (const auto& line : pinentry.logged("descriptor")) {
    const auto space = line.find(' ');
    descriptors[std::stoi(line.substr(0, space))] = line.substr(space + 1);
  }
  ASSERT_EQ(descriptors.size(), 3u) << ::testing::PrintToString(descriptors);
  EXPECT_TRUE(descriptors[0].starts_with("socket:")) << descriptors[0];
  EXPECT_EQ(descriptors[1], descriptors[0]);
  EXPECT_EQ(descriptors[2], "/dev/null");
  EXPECT_EQ(standardSignals(pinentry.logged("ignored-signals")), 0u);
  EXPECT_EQ(standardSignals(pinentry.logged("blocked-signals")), 0u);
}

// The limit holds for the whole conversation: a pinentry that never answers, at any point, and
// one that keeps the line busy without ever answering are killed when it is reached, not 30 s
// later when they would have stopped by themselves.
TEST(PinentryPrompt, ThePinentryIsKilledAndReapedAtTheTimeLimit) {
  // Long enough for the scripted pinentry to have started and said who it is on a machine whose
  // every core is busy; far below the 30 s after which it would stop by itself.
  constexpr auto limit = 1s;
  for (const char* mode : {"hang-at-start", "hang-after-getpin", "dribble-after-getpin"}) {
    const ScriptedPinentry pinentry(mode);
    const auto asked = ask(pinentry.program(), limit);
    EXPECT_EQ(asked.code, std::nullopt) << mode;
    EXPECT_GE(asked.took, limit) << mode;
    EXPECT_LT(asked.took, 10s) << mode;
    // A pinentry killed before it could log its pid is checked as every child of this process:
    // none may be left running or unreaped.
    const auto pid = pinentry.pid();
    EXPECT_TRUE(pid ? reaped(*pid) : reaped(-1)) << mode;
  }
}

TEST(PinentryPrompt, AFloodEndsTheConversationLongBeforeTheTimeLimit) {
  const ScriptedPinentry pinentry("flood-after-getpin");
  const auto asked = ask(pinentry.program(), roomyLimit);
  EXPECT_EQ(asked.code, std::nullopt);
  EXPECT_LT(asked.took, 10s);
  const auto pid = pinentry.pid();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(reaped(*pid));
}

TEST(PinentryPrompt, TheCallersEnvironmentIsReadFromItsEntries) {
  const char* entries[] = {"A=1", "B=", "C", "A=2", "D=x=y", "=empty name", nullptr};
  const PinentryEnvironment expected = {{"A", "1"}, {"B", ""}, {"D", "x=y"}};
  EXPECT_EQ(environmentFromEntries(entries), expected);
  EXPECT_TRUE(environmentFromEntries(nullptr).empty());
}

}  // namespace
}  // namespace platform::tokenkit

#include "platform/workspace/process_lookup.hpp"

#include "platform/foundation/testing/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

namespace platform::workspace {
namespace {

namespace fs = std::filesystem;
using platform::foundation::testing::TemporaryDirectory;

// A child that sleeps until the test ends it; killed and reaped when destroyed.
class SleepingChild {
public:
  explicit SleepingChild(const fs::path& executable) {
    std::string program = executable.string();
    std::string seconds = "600";
    char* argv[] = {program.data(), seconds.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
      throw std::runtime_error("posix_spawn failed");
    }
  }
  ~SleepingChild() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  pid_t pid() const { return pid_; }

  // Kills the child and waits until it has exited, leaving it a zombie until reap().
  void killAndKeepZombie() {
    ::kill(pid_, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  void reap() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
  }

private:
  pid_t pid_ = 0;
  bool reaped_ = false;
};

fs::path sleepExecutable() { return fs::canonical("/bin/sleep"); }

TEST(ProcessLookup, ThisProcessIsNamedByItsExecutableAndHasAStartTime) {
  const auto self = lookUpProcess(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->processIdentifier, ::getpid());
  EXPECT_EQ(self->bundleIdentifier, fs::read_symlink("/proc/self/exe").filename().string());
  EXPECT_TRUE(self->startTime.has_value());
}

TEST(ProcessLookup, ALookAlikeOfABrowserOrPromptOutsideItsPackagePathIsNotRecognised) {
  const TemporaryDirectory directory;
  struct Row {
    std::string fileName;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"firefox-esr", "firefox-esr"},
      {"chrome", "chrome"},
      {"pinentry-gnome3", "pinentry-gnome3"},
      {"org.mozilla.firefox", std::nullopt},
      {"com.google.Chrome", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto copy = directory.path() / row.fileName;
    fs::copy_file(sleepExecutable(), copy);
    const SleepingChild child(copy);
    const auto application = lookUpProcess(child.pid());
    ASSERT_TRUE(application.has_value()) << row.fileName;
    EXPECT_EQ(application->bundleIdentifier, row.expected) << row.fileName;
  }
}

TEST(ProcessLookup, ASymbolicLinkNamedLikeABrowserIsTheProgramItPointsTo) {
  const TemporaryDirectory directory;
  const auto link = directory.path() / "firefox-esr";
  fs::create_symlink(sleepExecutable(), link);
  const SleepingChild child(link);
  const auto application = lookUpProcess(child.pid());
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->bundleIdentifier, sleepExecutable().filename().string());
}

TEST(ProcessLookup, AProcessThatExitedIsGoneAlreadyAsAZombie) {
  SleepingChild child(sleepExecutable());
  const auto running = lookUpProcess(child.pid());
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(running->processIdentifier, child.pid());

  child.killAndKeepZombie();
  EXPECT_EQ(lookUpProcess(child.pid()), std::nullopt);
  child.reap();
  EXPECT_EQ(lookUpProcess(child.pid()), std::nullopt);
}

TEST(ProcessLookup, AThreadOfAProcessIsNoApplication) {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<pid_t> threadID;
  bool done = false;
  std::thread thread([&] {
    std::unique_lock lock(mutex);
    threadID = static_cast<pid_t>(::syscall(SYS_gettid));
    changed.notify_all();
    changed.wait(lock, [&] { return done; });
  });
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return threadID.has_value(); });
  EXPECT_EQ(lookUpProcess(*threadID), std::nullopt);
  done = true;
  changed.notify_all();
  lock.unlock();
  thread.join();
}

TEST(ProcessLookup, NoProcessHasANonPositiveIdentifier) {
  EXPECT_EQ(lookUpProcess(0), std::nullopt);
  EXPECT_EQ(lookUpProcess(-1), std::nullopt);
}

// A process directory laid out by the test, for what no process of the test can be: a browser
// installed by its package, a command name that holds parentheses, an unreadable executable.
class FakeProcessDirectory {
public:
  struct Entry {
    std::string stat;
    std::optional<std::string> status;
    std::optional<std::string> executable;
  };

  void add(pid_t pid, const Entry& entry) const {
    const auto process = directory_.path() / std::to_string(pid);
    fs::create_directories(process);
    std::ofstream(process / "stat") << entry.stat;
    if (entry.status) std::ofstream(process / "status") << *entry.status;
    if (entry.executable) fs::create_symlink(*entry.executable, process / "exe");
  }

  const fs::path& path() const { return directory_.path(); }

private:
  TemporaryDirectory directory_;
};

std::string statLine(pid_t pid, std::string_view command, char state, std::uint64_t startTime) {
  // Fields 4 to 21 do not matter here; field 22 is the start time.
  std::string line = std::to_string(pid) + " (" + std::string(command) + ") " + state;
  for (int field = 4; field <= 21; ++field) line += " " + std::to_string(field);
  return line + " " + std::to_string(startTime) + " 4096 1 18446744073709551615\n";
}

std::string statusOf(pid_t threadGroup) {
  return "Name:\tx\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" + std::to_string(threadGroup) + "\nPid:\t1\n";
}

TEST(ProcessLookup, ReadsTheProcessDirectoryAsTheKernelLaysItOut) {
  const FakeProcessDirectory directory;
  directory.add(100, {statLine(100, "firefox-esr", 'S', 5555), statusOf(100), "/usr/lib/firefox-esr/firefox-esr"});
  directory.add(101, {statLine(101, "odd) (name", 'R', 77), statusOf(101), "/opt/google/chrome/chrome (deleted)"});
  directory.add(102, {statLine(102, "other user", 'S', 1), statusOf(102), std::nullopt});
  directory.add(103, {statLine(103, "zombie", 'Z', 1), statusOf(103), "/usr/bin/gedit"});
  directory.add(104, {statLine(104, "thread", 'S', 1), statusOf(100), "/usr/lib/firefox-esr/firefox-esr"});
  directory.add(105, {"105 (cut", statusOf(105), "/usr/bin/gedit"});
  directory.add(106, {statLine(106, "no status", 'S', 1), std::nullopt, "/usr/bin/gedit"});

  struct Row {
    pid_t pid;
    std::optional<RunningApplication> expected;
  };
  const Row rows[] = {
      {100, RunningApplication{100, "org.mozilla.firefox", 5555}},
      {101, RunningApplication{101, "com.google.Chrome", 77}},
      {102, RunningApplication{102, std::nullopt, 1}},
      {103, std::nullopt},
      {104, std::nullopt},
      {105, std::nullopt},
      {106, std::nullopt},
      {107, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(lookUpProcess(row.pid, directory.path()), row.expected) << row.pid;
  }
}

}  // namespace
}  // namespace platform::workspace

#include "platform/foundation/testing/test_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace platform::foundation::testing {
namespace {

std::pair<UniqueFd, UniqueFd> newPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// A socket rather than a pipe, so that writing to a program that has gone fails instead of raising
// SIGPIPE in the test.
std::pair<UniqueFd, UniqueFd> newInputChannel() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("cannot make a socket pair");
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

int statusOf(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

}  // namespace

TestProgram::TestProgram(std::vector<std::string> arguments, bool captureErrors) {
  auto [inputRead, inputWrite] = newInputChannel();
  auto [outputRead, outputWrite] = newPipe();
  UniqueFd errorsWrite;
  if (captureErrors) {
    auto [read, write] = newPipe();
    errors_ = std::move(read);
    errorsWrite = std::move(write);
  }
  input_ = std::move(inputWrite);
  output_ = std::move(outputRead);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The copies dup2 makes stay open across exec; every other descriptor of ours is close-on-exec.
  posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
  if (errorsWrite) posix_spawn_file_actions_adddup2(&actions, errorsWrite.get(), STDERR_FILENO);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + arguments.front());
  }
}

TestProgram::~TestProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap();
  }
}

TestProgram::Outcome TestProgram::run(std::vector<std::string> arguments, std::chrono::milliseconds limit) {
  TestProgram program(std::move(arguments), true);
  program.closeInput();
  Outcome outcome;
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  bool outputOpen = true;
  bool errorsOpen = true;
  while (outputOpen || errorsOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd streams[2] = {{outputOpen ? program.output_.get() : -1, POLLIN, 0},
                         {errorsOpen ? program.errors_.get() : -1, POLLIN, 0}};
    const int ready = ::poll(streams, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (int index = 0; index < 2; ++index) {
      if (streams[index].revents == 0) continue;
      char chunk[4096];
      const auto got = ::read(streams[index].fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        (index == 0 ? outputOpen : errorsOpen) = false;
      } else {
        (index == 0 ? outcome.output : outcome.errors).append(chunk, static_cast<std::size_t>(got));
      }
    }
  }
  if (outputOpen || errorsOpen) program.signal(SIGKILL);
  outcome.status = program.reap();
  return outcome;
}

std::optional<std::string> TestProgram::nextLine(std::chrono::milliseconds limit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (const auto end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{output_.get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[4096];
    const auto got = ::read(output_.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
}

std::string TestProgram::expect(const std::string& word, std::chrono::milliseconds limit) {
  const auto line = nextLine(limit);
  if (!line) throw std::runtime_error("no answer where \"" + word + "\" was expected");
  if (!line->starts_with(word + " ")) {
    throw std::runtime_error("\"" + line->substr(0, 200) + "\" where \"" + word + "\" was expected");
  }
  return line->substr(word.size() + 1);
}

void TestProgram::send(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    const auto count = ::send(input_.get(), text.data() + written, text.size() - written, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) throw std::runtime_error("the program no longer reads its input");
    written += static_cast<std::size_t>(count);
  }
}

void TestProgram::closeInput() { input_.reset(); }

int TestProgram::reap() {
  if (pid_ <= 0) throw std::logic_error("the program was reaped already");
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid");
  }
  pid_ = -1;
  return statusOf(status);
}

void TestProgram::signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

}  // namespace platform::foundation::testing

#pragma once

#include "platform/foundation/unique_fd.hpp"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform::foundation::testing {

// A program a test starts and talks to: a pipe on its standard input and one on its standard
// output (and, when asked, on its standard error), the test's environment. Every descriptor of the
// test stays behind but the pipes' ends. Killed and reaped if the test leaves it running.
class TestProgram {
public:
  // What a program that ran to its end left behind.
  struct Outcome {
    // Its exit status; -1 when a signal ended it.
    int status = -1;
    std::string output;
    std::string errors;
  };

  // Throws std::runtime_error when it cannot be started.
  explicit TestProgram(std::vector<std::string> arguments, bool captureErrors = false);
  ~TestProgram();
  TestProgram(const TestProgram&) = delete;
  TestProgram& operator=(const TestProgram&) = delete;

  // Runs the program with its standard input closed until it ends (at most `limit`, then it is
  // killed) and returns what it wrote.
  static Outcome run(std::vector<std::string> arguments, std::chrono::milliseconds limit);

  pid_t pid() const { return pid_; }

  // The next line it wrote, without its newline; none when it closed its output or wrote no
  // line within the limit.
  std::optional<std::string> nextLine(std::chrono::milliseconds limit);
  // The next line, which must begin with `word` and a space: the rest of it. Throws
  // std::runtime_error otherwise.
  std::string expect(const std::string& word, std::chrono::milliseconds limit);

  // Writes the line and its newline to its standard input.
  void send(const std::string& line);
  // Closes its standard input, which tells the test programs of this system to end.
  void closeInput();

  // Waits for it to end: its exit status, -1 when a signal ended it.
  int reap();
  // Sends the signal (it is reaped later, by reap() or the destructor).
  void signal(int number);

private:
  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
  UniqueFd errors_;
  std::string buffered_;
};

}  // namespace platform::foundation::testing

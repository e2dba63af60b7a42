// A peer for the code identity tests: says it has started with one byte on its standard output,
// then lives until its standard input is closed, so the test decides when it ends.
#include <unistd.h>

#include <cerrno>

int main() {
  const char ready = 'r';
  if (::write(STDOUT_FILENO, &ready, 1) != 1) return 1;
  char byte = 0;
  for (;;) {
    const auto count = ::read(STDIN_FILENO, &byte, 1);
    if (count == 0 || (count < 0 && errno != EINTR)) return 0;
  }
}

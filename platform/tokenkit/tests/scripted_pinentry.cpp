// A stand-in pinentry for the prompt tests. It runs as the interpreter of a small script file:
//
//   #!/path/to/scripted_pinentry /path/to/log
//   MODE
//   PAYLOAD (every byte up to the end of the file)
//
// so the kernel starts it as `scripted_pinentry LOG SCRIPT ARGUMENTS...`, with the arguments and
// the environment exactly as the prompt passed them. It writes to LOG what it was started with
// (its process id, arguments, environment, open descriptors and signal masks) and every command line it
// receives, then plays its MODE:
//
//   reply                 speaks the protocol; answers GETPIN with PAYLOAD
//   reply-then-exit       the same, but exits right after sending PAYLOAD
//   greet                 greets with PAYLOAD instead of the usual OK; answers GETPIN with a code
//   refuse                answers ERR to the command named in PAYLOAD
//   exit-at-start         exits before greeting
//   exit-after-greeting   exits right after greeting
//   stop-reading          shuts its input, greets, and waits 30 s: every command sent fails
//   hang-at-start         sleeps for 30 s before greeting
//   hang-after-getpin     sleeps for 30 s when asked GETPIN
//   dribble-after-getpin  sends a comment line every 50 ms for 30 s when asked GETPIN
//   flood-after-getpin    sends status lines as fast as it can when asked GETPIN
//   linger-after-reply    answers GETPIN with a code, then ignores everything for 30 s
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

constexpr std::string_view greeting = "OK Pleased to meet you\n";
constexpr std::string_view answeredCode = "D 123456\nOK\n";
constexpr auto longWait = std::chrono::seconds(30);

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      std::exit(3);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string logLine(std::string_view kind, std::string_view text) {
  std::string line(kind);
  line += ' ';
  line += text;
  line += '\n';
  return line;
}

// The descriptors open when the program started, but for the one that lists them.
std::string describeDescriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) std::exit(4);
  std::string lines;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::stoi(name) == ::dirfd(directory)) continue;
    char target[4096];
    const auto length = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
    lines += logLine("descriptor", name + " " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0));
  }
  ::closedir(directory);
  return lines;
}

// The signals ignored and blocked, as the kernel reports them (hexadecimal masks).
std::string describeSignals() {
  std::ifstream status("/proc/self/status");
  std::string lines;
  for (std::string line; std::getline(status, line);) {
    const auto tab = line.find('\t');
    if (line.starts_with("SigIgn:")) lines += logLine("ignored-signals", line.substr(tab + 1));
    if (line.starts_with("SigBlk:")) lines += logLine("blocked-signals", line.substr(tab + 1));
  }
  return lines;
}

std::string readScript(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The next line of standard input without its LF; false at the end of the input.
bool readLine(std::string& buffer, std::string& line) {
  for (;;) {
    const auto end = buffer.find('\n');
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return true;
    }
    char chunk[512];
    const auto count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(count));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  // Descriptors first, before this program opens any of its own.
  std::string start = describeDescriptors();
  const int logFile = ::open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (logFile < 0) return 2;
  const auto log = [logFile](std::string_view kind, std::string_view text) { writeAll(logFile, logLine(kind, text)); };

  const std::string script = readScript(argv[2]);
  const auto modeStart = script.find('\n');
  const auto modeEnd = script.find('\n', modeStart + 1);
  if (modeStart == std::string::npos || modeEnd == std::string::npos) return 2;
  const std::string mode = script.substr(modeStart + 1, modeEnd - modeStart - 1);
  const std::string payload = script.substr(modeEnd + 1);

  start += describeSignals();
  start += logLine("pid", std::to_string(::getpid()));
  for (int index = 3; index < argc; ++index) start += logLine("argument", argv[index]);
  for (char** variable = environ; *variable != nullptr; ++variable) start += logLine("environment", *variable);
  writeAll(logFile, start);

  if (mode == "exit-at-start") return 0;
  if (mode == "hang-at-start") std::this_thread::sleep_for(longWait);
  if (mode == "stop-reading") ::shutdown(STDIN_FILENO, SHUT_RD);
  writeAll(STDOUT_FILENO, mode == "greet" ? std::string_view(payload) : greeting);
  if (mode == "exit-after-greeting") return 0;
  if (mode == "stop-reading") {
    std::this_thread::sleep_for(longWait);
    return 0;
  }

  std::string buffer;
  std::string line;
  while (readLine(buffer, line)) {
    log("command", line);
    const auto verb = line.substr(0, line.find(' '));
    if (mode == "refuse" && verb == payload) {
      writeAll(STDOUT_FILENO, "ERR 83886254 Invalid value <Pinentry>\n");
    } else if (verb == "BYE") {
      writeAll(STDOUT_FILENO, "OK closing connection\n");
      return 0;
    } else if (verb != "GETPIN") {
      writeAll(STDOUT_FILENO, "OK\n");
    } else if (mode == "reply" || mode == "reply-then-exit") {
      writeAll(STDOUT_FILENO, payload);
      if (mode == "reply-then-exit") return 0;
    } else if (mode == "hang-after-getpin") {
      std::this_thread::sleep_for(longWait);
      return 0;
    } else if (mode == "dribble-after-getpin") {
      const auto end = std::chrono::steady_clock::now() + longWait;
      while (std::chrono::steady_clock::now() < end) {
        writeAll(STDOUT_FILENO, "# still here\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      return 0;
    } else if (mode == "flood-after-getpin") {
      for (;;) writeAll(STDOUT_FILENO, "S PROGRESS tick\n");
    } else if (mode == "linger-after-reply") {
      writeAll(STDOUT_FILENO, answeredCode);
      std::this_thread::sleep_for(longWait);
      return 0;
    } else {
      writeAll(STDOUT_FILENO, answeredCode);
    }
  }
  return 0;
}

#include "platform/tokenkit/prompt/pinentry_prompt.hpp"

#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/prompt/assuan_response.hpp"
#include "platform/tokenkit/prompt/assuan_text.hpp"
#include "platform/tokenkit/prompt/pinentry_process.hpp"
#include "platform/tokenkit/prompt/pinentry_texts.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <string_view>
#include <utility>

namespace platform::tokenkit {
namespace {

using Clock = std::chrono::steady_clock;

// What the pinentry needs to reach the user: an X11 display (with its authority file, which
// defaults to one in HOME), a Wayland display, the session bus (pinentry-gnome3 asks the desktop's
// prompter over it), a terminal, and the locale to show our UTF-8 texts in. Nothing else of the
// host's environment is the pinentry's business.
constexpr std::string_view passedVariables[] = {
    "DISPLAY", "XAUTHORITY", "HOME", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS",
    "GPG_TTY", "TERM",       "LANG", "LC_ALL",          "LC_CTYPE",        "LC_MESSAGES",
};

// The longest entry taken back: far more than a code, less than a pinentry could flood us with.
constexpr std::size_t entryLimit = 1024;
// All bytes a pinentry may send in one conversation, comments and status lines included.
constexpr std::size_t conversationLimit = 64 * 1024;
// How long a pinentry that has answered may take to end before it is killed.
constexpr std::chrono::milliseconds endingGrace = std::chrono::seconds(1);

enum class Outcome {
  completed,  // the pinentry answered OK
  refused,    // it answered ERR: a cancelled entry or any other failure
  ended,      // it closed the conversation or went away
  timedOut,   // the time limit came first
  violated,   // it sent what the protocol does not allow, or too much of it
};

// A secret's buffer, reserved once so that it never moves, and wiped on every way out.
class SecretText {
public:
  explicit SecretText(std::size_t capacity) { text_.reserve(capacity); }
  ~SecretText() { security::wipeSecret(text_); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  std::string& text() { return text_; }

private:
  std::string text_;
};

// The Assuan conversation over the pinentry's channel, every wait bounded by one deadline.
class Conversation {
public:
  Conversation(int channel, Clock::time_point deadline) : channel_(channel), deadline_(deadline) {}

  Outcome greeting() { return awaitCompletion(nullptr); }

  // Sends the command line and waits for its completion; data lines are appended to `entry`
  // when one is given and break the protocol otherwise.
  Outcome command(std::string_view line, std::string* entry) {
    const auto sent = send(line);
    return sent == Outcome::completed ? awaitCompletion(entry) : sent;
  }

  Outcome send(std::string_view line) {
    while (!line.empty()) {
      const auto written = ::send(channel_, line.data(), line.size(), MSG_NOSIGNAL);
      if (written >= 0) {
        line.remove_prefix(static_cast<std::size_t>(written));
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitFor(POLLOUT)) return Outcome::timedOut;
      } else if (errno != EINTR) {
        return Outcome::ended;
      }
    }
    return Outcome::completed;
  }

private:
  Outcome awaitCompletion(std::string* entry) {
    for (;;) {
      std::string_view line;
      const auto next = lines_.next(line);
      if (next == AssuanLineBuffer::Next::overlong) return Outcome::violated;
      if (next == AssuanLineBuffer::Next::needMore) {
        if (const auto received = receive(); received != Outcome::completed) return received;
        continue;
      }
      const auto response = parseAssuanResponse(line);
      if (!response) return Outcome::violated;
      switch (response->kind) {
        case AssuanResponse::Kind::ok:
          return Outcome::completed;
        case AssuanResponse::Kind::error:
          return Outcome::refused;
        case AssuanResponse::Kind::data:
          if (entry == nullptr || !appendDecodedAssuanText(response->argument, *entry, entryLimit)) {
            return Outcome::violated;
          }
          break;
        case AssuanResponse::Kind::status:
        case AssuanResponse::Kind::comment:
          break;
        case AssuanResponse::Kind::inquire:
          // None of our commands asks for an inquiry; answering one is not ours to do.
          return Outcome::violated;
      }
    }
  }

  // Reads what the pinentry has sent into the line buffer; "completed" when something came.
  Outcome receive() {
    for (;;) {
      const auto space = lines_.space();
      const auto count = ::recv(channel_, space.data(), space.size(), 0);
      if (count > 0) {
        received_ += static_cast<std::size_t>(count);
        if (received_ > conversationLimit) return Outcome::violated;
        lines_.commit(static_cast<std::size_t>(count));
        return Outcome::completed;
      }
      if (count == 0) return Outcome::ended;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitFor(POLLIN)) return Outcome::timedOut;
      } else if (errno != EINTR) {
        return Outcome::ended;
      }
    }
  }

  // False when the deadline passes first. A hang-up or error also counts as ready: the read or
  // write that follows reports it.
  bool waitFor(short events) const {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now).count();
      pollfd entry{channel_, events, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left, INT_MAX)));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return true;
    }
  }

  int channel_;
  Clock::time_point deadline_;
  AssuanLineBuffer lines_;
  std::size_t received_ = 0;
};

Outcome converse(int channel, Clock::time_point deadline, const PinentryTexts& texts, std::string& entry) {
  Conversation conversation(channel, deadline);
  auto outcome = conversation.greeting();
  for (const auto& line : {assuanCommandLine("SETTITLE", texts.title), assuanCommandLine("SETDESC", texts.description),
                           assuanCommandLine("SETPROMPT", texts.prompt)}) {
    if (outcome != Outcome::completed) break;
    outcome = conversation.command(line, nullptr);
  }
  if (outcome == Outcome::completed) outcome = conversation.command("GETPIN\n", &entry);
  // A pinentry that still speaks the protocol is told to end; it answers BYE and exits.
  if (outcome == Outcome::completed || outcome == Outcome::refused) conversation.send("BYE\n");
  return outcome;
}

}  // namespace

PinentryEnvironment environmentFromEntries(const char* const* entries) {
  PinentryEnvironment environment;
  for (; entries != nullptr && *entries != nullptr; ++entries) {
    const std::string_view entry(*entries);
    const auto equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    environment.emplace(std::string(entry.substr(0, equals)), std::string(entry.substr(equals + 1)));
  }
  return environment;
}

PinentryPrompt::PinentryPrompt(std::filesystem::path program, const PinentryEnvironment& environment,
                               std::chrono::milliseconds timeLimit)
    : program_(std::move(program)), timeLimit_(timeLimit) {
  for (const auto name : passedVariables) {
    const auto variable = environment.find(std::string(name));
    if (variable != environment.end()) environment_.push_back(variable->first + "=" + variable->second);
  }
  // A terminal pinentry talks to us over its standard input and output, so it has to be told
  // which terminal is the user's.
  if (const auto tty = environment.find("GPG_TTY"); tty != environment.end() && !tty->second.empty()) {
    arguments_.insert(arguments_.end(), {"--ttyname", tty->second});
  }
  if (const auto type = environment.find("TERM"); type != environment.end() && !type->second.empty()) {
    arguments_.insert(arguments_.end(), {"--ttytype", type->second});
  }
}

std::optional<std::string> PinentryPrompt::ask(const PromptRequest& request) {
  const auto deadline = Clock::now() + timeLimit_;
  const auto texts = pinentryTexts(request);
  auto process = PinentryProcess::start(program_, arguments_, environment_);
  if (!process) return std::nullopt;

  SecretText entry(entryLimit);
  const auto outcome = converse(process->channel(), deadline, texts, entry.text());
  if (outcome == Outcome::timedOut || outcome == Outcome::violated) {
    process->kill();
  } else {
    process->end(endingGrace);
  }
  if (outcome != Outcome::completed) return std::nullopt;
  // Built in place as the return value, so no moved-from copy of the code is left behind.
  return std::optional<std::string>(std::in_place, entry.text());
}

}  // namespace platform::tokenkit

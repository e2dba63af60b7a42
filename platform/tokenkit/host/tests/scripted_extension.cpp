// A token extension for the host's tests. Its driver does what each token's configuration data (a
// JSON object) tells it, and appends one line per event to the file the data names, each line
// starting with the token's instance identifier:
//
//   "log"         the event file (required)
//   "auth"        "none" (sign at once), "password" (a password operation; the code must be
//                 "password"), "plain" (an operation without password), "endless" (a password
//                 operation that never approves); default "none"
//   "password"    the code a password operation accepts
//   "constraint"  the constraint text beginAuth accepts; default "test.constraint"
//   "supports"    what supports answers; default true
//   "tokenError"  make no token, with this error code and the text "Scripted refusal."
//   "stall"       "signData" or "finish": the first such call of all runs (a marker file next to
//                 the log remembers it) stalls for 30 s
//   "version"     shown in the token event, so a rebuilt token can be told from the old one
//
// A wrong code is refused with authenticationFailed (-5) and "The code was refused.".
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/tokenkit/extension/extension_main.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace tokenkit = platform::tokenkit;
using tokenkit::Error;
using tokenkit::Result;

struct Script {
  std::string log;
  std::string auth = "none";
  std::string password;
  std::string constraint = "test.constraint";
  bool supports = true;
  std::optional<std::int64_t> tokenError;
  std::string stall;
  std::int64_t version = 0;
};

std::optional<Script> readScript(const platform::Bytes& data) {
  try {
    const auto document = platform::foundation::parseJSON(data);
    const auto reader = platform::foundation::JSONObjectReader::root(document);
    Script script;
    script.log = reader.required<std::string>("log");
    script.auth = reader.optional<std::string>("auth").value_or(script.auth);
    script.password = reader.optional<std::string>("password").value_or("");
    script.constraint = reader.optional<std::string>("constraint").value_or(script.constraint);
    script.supports = reader.optional<bool>("supports").value_or(true);
    script.tokenError = reader.optional<std::int64_t>("tokenError");
    script.stall = reader.optional<std::string>("stall").value_or("");
    script.version = reader.optional<std::int64_t>("version").value_or(0);
    return script;
  } catch (const platform::foundation::DecodingError&) {
    return std::nullopt;
  }
}

void appendLine(const std::string& path, const std::string& line) {
  const int file = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (file < 0) return;
  const std::string text = line + "\n";
  [[maybe_unused]] const auto written = ::write(file, text.data(), text.size());
  ::close(file);
}

// Where this process came from, as the host started it.
std::string processLine(int argc, char** argv) {
  std::size_t environment = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) ++environment;
  std::string descriptors;
  std::string nullDescriptors;
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    std::vector<int> numbers;
    while (const dirent* entry = ::readdir(directory)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const int number = std::stoi(name);
      if (number != ::dirfd(directory)) numbers.push_back(number);
    }
    ::closedir(directory);
    std::sort(numbers.begin(), numbers.end());
    for (const int number : numbers) {
      descriptors += (descriptors.empty() ? "" : ",") + std::to_string(number);
      std::error_code error;
      if (std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(number), error) == "/dev/null") {
        nullDescriptors += (nullDescriptors.empty() ? "" : ",") + std::to_string(number);
      }
    }
  }
  return "process pid=" + std::to_string(::getpid()) + " argc=" + std::to_string(argc) +
         " argv0=" + (argc > 0 ? argv[0] : "") + " environment=" + std::to_string(environment) +
         " descriptors=" + descriptors + " null=" + nullDescriptors;
}

struct Journal {
  std::string log;
  std::string instanceID;

  void note(const std::string& event) const { appendLine(log, instanceID + " " + event); }
};

void stallIfFirst(const Script& script, const Journal& journal, const std::string& call) {
  if (script.stall != call) return;
  const auto marker = script.log + ".stalled-" + call;
  const int file = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0) return;
  ::close(file);
  journal.note("stall " + call);
  std::this_thread::sleep_for(std::chrono::seconds(30));
}

struct Approval {
  std::mutex mutex;
  bool approved = false;
};

class PlainOperation final : public tokenkit::AuthOperation {
public:
  PlainOperation(Journal journal, std::shared_ptr<Approval> approval)
      : journal_(std::move(journal)), approval_(std::move(approval)) {}
  ~PlainOperation() override { journal_.note(finished_ ? "release-operation after-finish" : "release-operation unfinished"); }

  Result<void> finish() override {
    finished_ = true;
    journal_.note("finish none");
    const std::lock_guard lock(approval_->mutex);
    approval_->approved = true;
    return {};
  }

private:
  Journal journal_;
  std::shared_ptr<Approval> approval_;
  bool finished_ = false;
};

class PasswordOperation final : public tokenkit::PasswordAuthOperation {
public:
  PasswordOperation(Script script, Journal journal, std::shared_ptr<Approval> approval)
      : script_(std::move(script)), journal_(std::move(journal)), approval_(std::move(approval)) {}
  ~PasswordOperation() override {
    journal_.note(finished_ ? "release-operation after-finish" : "release-operation unfinished");
  }

  Result<void> finish() override {
    finished_ = true;
    const auto code = password.value_or("");
    password.reset();
    journal_.note("finish " + (code.empty() ? std::string("none") : code));
    stallIfFirst(script_, journal_, "finish");
    if (code != script_.password) return Error(tokenkit::ErrorCode::authenticationFailed, "The code was refused.");
    if (script_.auth != "endless") {
      const std::lock_guard lock(approval_->mutex);
      approval_->approved = true;
    }
    return {};
  }

private:
  Script script_;
  Journal journal_;
  std::shared_ptr<Approval> approval_;
  bool finished_ = false;
};

class ScriptedSession final : public tokenkit::TokenSession {
public:
  ScriptedSession(std::shared_ptr<tokenkit::Token> token, Script script, Journal journal)
      : TokenSession(std::move(token)), script_(std::move(script)), journal_(std::move(journal)) {}
  ~ScriptedSession() override { journal_.note("release-session"); }

  bool supports(tokenkit::Operation operation, const tokenkit::ObjectID& key,
                const tokenkit::KeyAlgorithm& algorithm) override {
    const auto* text = std::get_if<std::string>(&key);
    journal_.note("supports " + std::to_string(static_cast<int>(operation)) + " " + (text ? *text : "?") + " " +
                  algorithm.id);
    return script_.supports;
  }

  Result<platform::Bytes> signData(const platform::Bytes& data, const tokenkit::ObjectID&,
                                   const tokenkit::KeyAlgorithm&) override {
    journal_.note("sign");
    stallIfFirst(script_, journal_, "signData");
    platform::Bytes signature = platform::bytesOf("signed:");
    signature.insert(signature.end(), data.begin(), data.end());
    if (script_.auth == "none") return signature;
    const std::lock_guard lock(approval_->mutex);
    if (!approval_->approved) return Error(tokenkit::ErrorCode::authenticationNeeded);
    approval_->approved = false;
    return signature;
  }

  Result<std::unique_ptr<tokenkit::AuthOperation>> beginAuth(tokenkit::Operation operation,
                                                             const tokenkit::Constraint& constraint) override {
    const auto* text = std::get_if<std::string>(&constraint);
    journal_.note("begin-auth " + (text ? *text : std::string("?")));
    if (operation != tokenkit::Operation::signData || !text || *text != script_.constraint) {
      return Error(tokenkit::ErrorCode::notImplemented);
    }
    if (script_.auth == "plain") {
      return std::unique_ptr<tokenkit::AuthOperation>(std::make_unique<PlainOperation>(journal_, approval_));
    }
    return std::unique_ptr<tokenkit::AuthOperation>(std::make_unique<PasswordOperation>(script_, journal_, approval_));
  }

private:
  Script script_;
  Journal journal_;
  std::shared_ptr<Approval> approval_ = std::make_shared<Approval>();
};

class ScriptedToken final : public tokenkit::Token, public std::enable_shared_from_this<ScriptedToken> {
public:
  ScriptedToken(std::shared_ptr<tokenkit::TokenDriver> driver, Script script, Journal journal)
      : Token(std::move(driver), journal.instanceID), script_(std::move(script)), journal_(std::move(journal)) {}

  Result<std::shared_ptr<tokenkit::TokenSession>> createSession() override {
    journal_.note("session");
    return std::shared_ptr<tokenkit::TokenSession>(std::make_shared<ScriptedSession>(shared_from_this(), script_, journal_));
  }

  const Journal& journal() const { return journal_; }

private:
  Script script_;
  Journal journal_;
};

class ScriptedDriver final : public tokenkit::TokenDriver, public std::enable_shared_from_this<ScriptedDriver> {
public:
  ScriptedDriver(int argc, char** argv) : argc_(argc), argv_(argv) {}

  Result<std::shared_ptr<tokenkit::Token>> tokenForConfiguration(
      const tokenkit::TokenConfigurationSnapshot& configuration) override {
    if (!configuration.configurationData) return Error(tokenkit::ErrorCode::badParameter);
    const auto script = readScript(*configuration.configurationData);
    if (!script) return Error(tokenkit::ErrorCode::badParameter);
    const Journal journal{script->log, configuration.instanceID};
    {
      const std::lock_guard lock(mutex_);
      if (lastLog_.empty()) journal.note(processLine(argc_, argv_));
      lastLog_ = script->log;
    }
    journal.note("token " + std::to_string(script->version));
    if (script->tokenError) {
      return Error(static_cast<int>(*script->tokenError), std::string("Scripted refusal."));
    }
    return std::shared_ptr<tokenkit::Token>(std::make_shared<ScriptedToken>(shared_from_this(), *script, journal));
  }

  void terminateToken(const std::shared_ptr<tokenkit::Token>& token) override {
    if (const auto* scripted = dynamic_cast<const ScriptedToken*>(token.get())) scripted->journal().note("terminate");
  }

  // The last event of a run: how extensionMain ended.
  void noteExit(int status) {
    const std::lock_guard lock(mutex_);
    if (!lastLog_.empty()) appendLine(lastLog_, "- exit " + std::to_string(status));
  }

private:
  int argc_;
  char** argv_;
  std::mutex mutex_;
  std::string lastLog_;
};

}  // namespace

int main(int argc, char** argv) {
  auto driver = std::make_shared<ScriptedDriver>(argc, argv);
  const int status = platform::tokenkit::extensionMain([driver] { return driver; });
  driver->noteExit(status);
  return status;
}

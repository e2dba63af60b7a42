#include "tools/ctk/ctk_command.hpp"

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/client/token_host_client.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/xpc/runtime_directory.hpp"

#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <variant>

namespace corvanta::ctk {
namespace {

namespace tokenkit = platform::tokenkit;
using platform::Bytes;

constexpr std::string_view usageLine = "usage: ctk list | ctk sign --key KEY --algorithm ALG --digest HEX";

int usage(std::ostream& err, const std::string& reason) {
  err << "ctk: " << reason << "; " << usageLine << "\n";
  return exitUsage;
}

// The text on one line and harmless to a terminal: control characters, C1 ones included, are
// written as escapes.
std::string oneLine(std::string_view text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char escape[8] = {};
    if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      shown += escape;
      ++i;
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

std::optional<std::string_view> nameOf(int code) {
  using tokenkit::ErrorCode;
  switch (static_cast<ErrorCode>(code)) {
    case ErrorCode::notImplemented: return "notImplemented";
    case ErrorCode::communicationError: return "communicationError";
    case ErrorCode::corruptedData: return "corruptedData";
    case ErrorCode::canceledByUser: return "canceledByUser";
    case ErrorCode::authenticationFailed: return "authenticationFailed";
    case ErrorCode::objectNotFound: return "objectNotFound";
    case ErrorCode::tokenNotFound: return "tokenNotFound";
    case ErrorCode::badParameter: return "badParameter";
    case ErrorCode::authenticationNeeded: return "authenticationNeeded";
  }
  return std::nullopt;
}

int tokenError(std::ostream& err, const tokenkit::Error& error) {
  err << "ctk: token error " << error.code;
  if (const auto name = nameOf(error.code)) err << " (" << *name << ")";
  if (error.description) err << ": " << oneLine(*error.description);
  err << "\n";
  return exitTokenError;
}

// A key can do what it is capable of, unless its constraint for the operation says never.
bool allows(const tokenkit::KeychainKey& key, tokenkit::Operation operation, bool capable) {
  if (!capable) return false;
  const auto constraint = key.constraints.find(operation);
  if (constraint == key.constraints.end()) return true;
  const auto* allowed = std::get_if<bool>(&constraint->second);
  return allowed == nullptr || *allowed;
}

std::string abilitiesOf(const tokenkit::KeychainKey& key) {
  using tokenkit::Operation;
  std::string abilities;
  const auto add = [&](std::string_view name) {
    if (!abilities.empty()) abilities += ",";
    abilities += name;
  };
  if (allows(key, Operation::signData, key.canSign)) add("sign");
  if (allows(key, Operation::decryptData, key.canDecrypt)) add("decrypt");
  if (allows(key, Operation::performKeyExchange, key.canPerformKeyExchange)) add("key-exchange");
  return abilities.empty() ? "nothing" : abilities;
}

// Each token on a line of its own, each of its keys below it on a line that starts with a tab:
// key object identifier, label and what the key can do, separated by tabs.
void printTokens(std::ostream& out, const std::vector<tokenkit::HostedToken>& tokens) {
  for (const auto& token : tokens) {
    out << oneLine(token.instanceID) << "\n";
    for (const auto& item : token.keychainItems) {
      if (const auto* key = std::get_if<tokenkit::KeychainKey>(&item)) {
        out << "\t" << oneLine(key->objectID) << "\t" << oneLine(key->label) << "\t" << abilitiesOf(*key) << "\n";
      }
    }
  }
}

// A result that did not reach its reader is no success.
int written(std::ostream& out, std::ostream& err) {
  if (out.flush()) return exitSuccess;
  err << "ctk: cannot write to standard output\n";
  return exitOutputFailed;
}

struct SignArguments {
  std::string key;
  std::string algorithm;
  std::string digest;
};

// The options of sign, or the reason they are not usable.
std::variant<SignArguments, std::string> parseSign(const std::vector<std::string>& arguments) {
  std::map<std::string, std::optional<std::string>> values = {
      {"--key", std::nullopt}, {"--algorithm", std::nullopt}, {"--digest", std::nullopt}};
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const auto value = values.find(arguments[i]);
    if (value == values.end()) return "unknown argument \"" + oneLine(arguments[i]) + "\"";
    if (value->second) return value->first + " given twice";
    if (i + 1 == arguments.size() || arguments[i + 1].empty()) return value->first + " needs a value";
    value->second = arguments[++i];
  }
  for (const auto* name : {"--key", "--algorithm", "--digest"}) {
    if (!values[name]) return std::string("sign needs ") + name;
  }
  return SignArguments{*values["--key"], *values["--algorithm"], *values["--digest"]};
}

// The connection's failures, after the arguments were found good.
template <class Work>
int withHost(std::ostream& err, const std::function<std::string()>& hostSocketPath, Work work) {
  try {
    auto host = tokenkit::TokenHostClient::connect(hostSocketPath());
    return work(host);
  } catch (const platform::xpc::RuntimeDirectoryError& error) {
    err << "ctk: " << error.what() << "\n";
    return exitHostUnreachable;
  } catch (const tokenkit::TokenHostClientError& error) {
    err << "ctk: " << error.what() << "\n";
    switch (error.which()) {
      case tokenkit::TokenHostClientError::Case::hostNotRunning: return exitHostUnreachable;
      case tokenkit::TokenHostClientError::Case::invalidRequest: return exitUsage;
      case tokenkit::TokenHostClientError::Case::connectionLost:
      case tokenkit::TokenHostClientError::Case::malformedAnswer: break;
    }
    return exitConnectionFailed;
  }
}

int list(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
         const std::function<std::string()>& hostSocketPath) {
  if (arguments.size() > 1) return usage(err, "list takes no arguments");
  return withHost(err, hostSocketPath, [&](tokenkit::TokenHostClient& host) {
    const auto tokens = host.list();
    if (!tokens) return tokenError(err, tokens.error());
    printTokens(out, tokens.value());
    return written(out, err);
  });
}

int sign(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
         const std::function<std::string()>& hostSocketPath) {
  const auto parsed = parseSign(arguments);
  if (const auto* reason = std::get_if<std::string>(&parsed)) return usage(err, *reason);
  const auto& options = std::get<SignArguments>(parsed);
  const auto digest = platform::foundation::hexDecoded(options.digest);
  if (!digest) {
    err << (options.digest.size() % 2 != 0 ? "ctk: the digest has an odd number of hexadecimal digits\n"
                                           : "ctk: the digest is not hexadecimal\n");
    return exitInvalidDigest;
  }
  if (digest->size() > tokenkit::maxTokenHostDigestBytes) {
    err << "ctk: the digest has " << digest->size() << " bytes; a digest has at most "
        << tokenkit::maxTokenHostDigestBytes << "\n";
    return exitInvalidDigest;
  }
  return withHost(err, hostSocketPath, [&](tokenkit::TokenHostClient& host) {
    const auto signature = host.sign(options.key, options.algorithm, *digest);
    if (!signature) return tokenError(err, signature.error());
    out << platform::foundation::lowercaseHex(signature.value()) << "\n";
    return written(out, err);
  });
}

}  // namespace

int runCtk(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const std::function<std::string()>& hostSocketPath) {
  if (arguments.empty()) return usage(err, "no command given");
  if (arguments[0] == "list") return list(arguments, out, err, hostSocketPath);
  if (arguments[0] == "sign") return sign(arguments, out, err, hostSocketPath);
  return usage(err, "unknown command \"" + oneLine(arguments[0]) + "\"");
}

}  // namespace corvanta::ctk

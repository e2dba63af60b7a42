#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/tokenkit/keychain_item.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// What a token extension implements and the token host calls: the driver makes a token for each
// configuration, a token makes one session per client, a session signs and, when the key demands
// it, hands the host an authentication operation to complete first. The host and the extension are
// separate processes; these are the objects on the extension's side of that boundary.
namespace platform::tokenkit {

// The error codes token clients know. Errors cross the host–client boundary as values, never as
// exceptions.
enum class ErrorCode : int {
  notImplemented = -1,
  communicationError = -2,
  corruptedData = -3,
  canceledByUser = -4,
  authenticationFailed = -5,
  objectNotFound = -6,
  tokenNotFound = -7,
  badParameter = -8,
  authenticationNeeded = -9,
};

// A token error: its code and, where the token gives one, its user text. No text is not the same as
// an empty text; clients show their own wording when there is none.
struct Error {
  int code = static_cast<int>(ErrorCode::communicationError);
  std::optional<std::string> description;

  Error() = default;
  Error(int code, std::optional<std::string> description = std::nullopt)
      : code(code), description(std::move(description)) {}
  Error(ErrorCode code, std::optional<std::string> description = std::nullopt)
      : code(static_cast<int>(code)), description(std::move(description)) {}

  friend bool operator==(const Error&, const Error&) = default;
};

// A value or the error that took its place.
template <class T>
class Result {
public:
  Result(T value) : content_(std::move(value)) {}
  Result(Error error) : content_(std::move(error)) {}

  bool hasValue() const noexcept { return content_.index() == 0; }
  explicit operator bool() const noexcept { return hasValue(); }

  // Precondition: hasValue().
  T& value() & { return std::get<0>(content_); }
  const T& value() const& { return std::get<0>(content_); }
  T&& value() && { return std::get<0>(std::move(content_)); }

  // Precondition: !hasValue().
  const Error& error() const { return std::get<1>(content_); }

private:
  std::variant<T, Error> content_;
};

template <>
class Result<void> {
public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool hasValue() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return hasValue(); }

  // Precondition: !hasValue().
  const Error& error() const { return *error_; }

private:
  std::optional<Error> error_;
};

// A key object identifier as a client passes it. Clients may pass any value, so a session must be
// able to tell "not a text" apart from "a text that names no key".
using ObjectID = std::variant<std::monostate, std::string, Bytes>;

// A signature algorithm as the client names it; a token compares names exactly.
struct KeyAlgorithm {
  std::string id;

  bool isAlgorithm(std::string_view algorithm) const noexcept { return id == algorithm; }

  friend bool operator==(const KeyAlgorithm&, const KeyAlgorithm&) = default;
};

// What the host hands a driver to make a token from.
struct TokenConfigurationSnapshot {
  std::string instanceID;
  std::optional<Bytes> configurationData;
  std::vector<KeychainItem> keychainItems;

  friend bool operator==(const TokenConfigurationSnapshot&, const TokenConfigurationSnapshot&) =
      default;
};

// An authentication the host completes before a session can go on. Destroying the operation is how
// the host releases it, whether or not it was finished.
class AuthOperation {
public:
  virtual ~AuthOperation() = default;

  // The base operation needs nothing from the user and succeeds.
  virtual Result<void> finish() { return {}; }
};

// An authentication that needs a secret from the user: the host asks for it, sets it and finishes.
class PasswordAuthOperation : public AuthOperation {
public:
  std::optional<std::string> password;
};

class Token;

class TokenSession {
public:
  explicit TokenSession(std::shared_ptr<Token> token) : token_(std::move(token)) {}
  virtual ~TokenSession() = default;
  TokenSession(const TokenSession&) = delete;
  TokenSession& operator=(const TokenSession&) = delete;

  const std::shared_ptr<Token>& token() const noexcept { return token_; }

  virtual bool supports(Operation operation, const ObjectID& key, const KeyAlgorithm& algorithm) = 0;
  virtual Result<Bytes> signData(const Bytes& data, const ObjectID& key,
                                 const KeyAlgorithm& algorithm) = 0;
  virtual Result<std::unique_ptr<AuthOperation>> beginAuth(Operation operation,
                                                           const Constraint& constraint) = 0;

private:
  std::shared_ptr<Token> token_;
};

class TokenDriver;

class Token {
public:
  Token(std::shared_ptr<TokenDriver> driver, std::string instanceID)
      : driver_(std::move(driver)), instanceID_(std::move(instanceID)) {}
  virtual ~Token() = default;
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  const std::string& instanceID() const noexcept { return instanceID_; }
  const std::shared_ptr<TokenDriver>& driver() const noexcept { return driver_; }

  virtual Result<std::shared_ptr<TokenSession>> createSession() = 0;

private:
  std::shared_ptr<TokenDriver> driver_;
  std::string instanceID_;
};

class TokenDriver {
public:
  virtual ~TokenDriver() = default;

  // An error means no token for this configuration; the host passes it on to the client.
  virtual Result<std::shared_ptr<Token>> tokenForConfiguration(
      const TokenConfigurationSnapshot& configuration) = 0;
  // The host ends a token when its configuration is removed or its data changes.
  virtual void terminateToken(const std::shared_ptr<Token>& token) = 0;
};

}  // namespace platform::tokenkit

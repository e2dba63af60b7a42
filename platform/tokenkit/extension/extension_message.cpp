#include "platform/tokenkit/extension/extension_message.hpp"

#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/store_format.hpp"

#include <openssl/crypto.h>

#include <limits>
#include <span>
#include <type_traits>
#include <utility>

namespace platform::tokenkit {
namespace {

constexpr std::uint8_t requestDirection = 1;
constexpr std::uint8_t replyDirection = 2;

constexpr std::uint8_t keyAbsent = 0;
constexpr std::uint8_t keyText = 1;
constexpr std::uint8_t keyBytes = 2;

constexpr std::uint8_t constraintFalse = 0;
constexpr std::uint8_t constraintTrue = 1;
constexpr std::uint8_t constraintText = 2;

constexpr std::uint8_t resultError = 0;
constexpr std::uint8_t resultValue = 1;

// Appends fields; a field too long for its u32 length, or a message past the size limit, makes the
// whole encoding fail.
class Writer {
public:
  // Reserving the whole message up front keeps a growing buffer from leaving copies of a password
  // behind in memory it gave back.
  explicit Writer(std::size_t expectedSize) { bytes_.reserve(expectedSize); }

  void byte(std::uint8_t value) { bytes_.push_back(value); }

  void u32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) byte(static_cast<std::uint8_t>(value >> shift));
  }

  void u64(std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) byte(static_cast<std::uint8_t>(value >> shift));
  }

  void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }

  void field(ByteView data) {
    if (data.size() > maximumExtensionMessageSize) {
      failed_ = true;
      return;
    }
    u32(static_cast<std::uint32_t>(data.size()));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }

  void text(const std::string& value) {
    field(ByteView(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
  }

  void fail() { failed_ = true; }

  // The message, or none when it failed or grew too large. A failed encoding may already hold a
  // password, so its bytes are wiped before they are dropped.
  std::optional<Bytes> finish() && {
    if (failed_ || bytes_.size() > maximumExtensionMessageSize) {
      wipeMessage(bytes_);
      return std::nullopt;
    }
    return std::move(bytes_);
  }

private:
  Bytes bytes_;
  bool failed_ = false;
};

// Reads fields front to back; any read past the end makes the reader fail, and every later read
// then fails too.
class Reader {
public:
  explicit Reader(ByteView message) : rest_(message) {}

  std::optional<std::uint8_t> byte() {
    if (rest_.empty()) return std::nullopt;
    const auto value = rest_.front();
    rest_ = rest_.subspan(1);
    return value;
  }

  std::optional<std::uint32_t> u32() {
    if (rest_.size() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8U) | rest_[i];
    rest_ = rest_.subspan(4);
    return value;
  }

  std::optional<std::uint64_t> u64() {
    if (rest_.size() < 8) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = (value << 8U) | rest_[i];
    rest_ = rest_.subspan(8);
    return value;
  }

  std::optional<std::int32_t> i32() {
    const auto value = u32();
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(*value);
  }

  std::optional<ByteView> field() {
    const auto length = u32();
    if (!length || *length > rest_.size()) return std::nullopt;
    const auto value = rest_.first(*length);
    rest_ = rest_.subspan(*length);
    return value;
  }

  std::optional<Bytes> bytes() {
    const auto value = field();
    if (!value) return std::nullopt;
    return Bytes(value->begin(), value->end());
  }

  std::optional<std::string> text() {
    const auto value = field();
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value->data()), value->size());
  }

  // A boolean as one byte: 0 or 1, nothing else.
  std::optional<bool> flag() {
    const auto value = byte();
    if (!value || *value > 1) return std::nullopt;
    return *value == 1;
  }

  bool atEnd() const { return rest_.empty(); }

private:
  ByteView rest_;
};

void writeKey(Writer& writer, const ObjectID& key) {
  if (const auto* text = std::get_if<std::string>(&key)) {
    writer.byte(keyText);
    writer.text(*text);
  } else if (const auto* bytes = std::get_if<Bytes>(&key)) {
    writer.byte(keyBytes);
    writer.field(*bytes);
  } else {
    writer.byte(keyAbsent);
  }
}

std::optional<ObjectID> readKey(Reader& reader) {
  const auto tag = reader.byte();
  if (!tag) return std::nullopt;
  switch (*tag) {
    case keyAbsent:
      return ObjectID{};
    case keyText:
      if (auto text = reader.text()) return ObjectID{std::move(*text)};
      return std::nullopt;
    case keyBytes:
      if (auto bytes = reader.bytes()) return ObjectID{std::move(*bytes)};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void writeConstraint(Writer& writer, const Constraint& constraint) {
  if (const auto* text = std::get_if<std::string>(&constraint)) {
    writer.byte(constraintText);
    writer.text(*text);
  } else {
    writer.byte(std::get<bool>(constraint) ? constraintTrue : constraintFalse);
  }
}

std::optional<Constraint> readConstraint(Reader& reader) {
  const auto tag = reader.byte();
  if (!tag) return std::nullopt;
  switch (*tag) {
    case constraintFalse:
      return Constraint{false};
    case constraintTrue:
      return Constraint{true};
    case constraintText:
      if (auto text = reader.text()) return Constraint{std::move(*text)};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void writeOptionalText(Writer& writer, const std::optional<std::string>& value) {
  writer.byte(value ? 1 : 0);
  if (value) writer.text(*value);
}

std::optional<std::optional<std::string>> readOptionalText(Reader& reader) {
  const auto present = reader.flag();
  if (!present) return std::nullopt;
  if (!*present) return std::optional<std::string>{};
  auto text = reader.text();
  if (!text) return std::nullopt;
  std::optional<std::string> value{std::move(*text)};
  // A short text lives inside the string itself, so the move copied it and left it behind.
  security::wipeSecret(*text);
  return value;
}

void writeError(Writer& writer, const Error& error) {
  writer.i32(error.code);
  writeOptionalText(writer, error.description);
}

std::optional<Error> readError(Reader& reader) {
  const auto code = reader.i32();
  if (!code) return std::nullopt;
  auto description = readOptionalText(reader);
  if (!description) return std::nullopt;
  return Error(*code, std::move(*description));
}

// ---- request bodies ----

void writeBody(Writer& writer, const extension_request::TokenForConfiguration& body) {
  const StoredTokenConfiguration stored{body.configuration.instanceID, body.configuration.configurationData,
                                        body.configuration.keychainItems};
  const auto file = encodeTokenConfiguration(stored);
  if (!file) {
    writer.fail();
    return;
  }
  writer.field(*file);
}
void writeBody(Writer& writer, const extension_request::TerminateToken& body) { writer.u64(body.token); }
void writeBody(Writer& writer, const extension_request::CreateSession& body) { writer.u64(body.token); }
void writeBody(Writer& writer, const extension_request::ReleaseSession& body) { writer.u64(body.session); }
void writeBody(Writer& writer, const extension_request::Supports& body) {
  writer.u64(body.session);
  writer.i32(static_cast<std::int32_t>(body.operation));
  writeKey(writer, body.key);
  writer.text(body.algorithm.id);
}
void writeBody(Writer& writer, const extension_request::SignData& body) {
  writer.u64(body.session);
  writer.field(body.data);
  writeKey(writer, body.key);
  writer.text(body.algorithm.id);
}
void writeBody(Writer& writer, const extension_request::BeginAuth& body) {
  writer.u64(body.session);
  writer.i32(static_cast<std::int32_t>(body.operation));
  writeConstraint(writer, body.constraint);
}
void writeBody(Writer& writer, const extension_request::Finish& body) {
  writer.u64(body.operation);
  writeOptionalText(writer, body.password);
}
void writeBody(Writer& writer, const extension_request::ReleaseOperation& body) { writer.u64(body.operation); }

std::optional<ExtensionRequestBody> readRequestBody(ExtensionCall call, Reader& reader) {
  using namespace extension_request;
  switch (call) {
    case ExtensionCall::tokenForConfiguration: {
      const auto file = reader.field();
      if (!file) return std::nullopt;
      auto stored = decodeTokenConfiguration(*file);
      if (!stored) return std::nullopt;
      return TokenForConfiguration{TokenConfigurationSnapshot{
          std::move(stored->instanceID), std::move(stored->configurationData), std::move(stored->keychainItems)}};
    }
    case ExtensionCall::terminateToken:
    case ExtensionCall::createSession:
    case ExtensionCall::releaseSession:
    case ExtensionCall::releaseOperation: {
      const auto object = reader.u64();
      if (!object) return std::nullopt;
      if (call == ExtensionCall::terminateToken) return TerminateToken{*object};
      if (call == ExtensionCall::createSession) return CreateSession{*object};
      if (call == ExtensionCall::releaseSession) return ReleaseSession{*object};
      return ReleaseOperation{*object};
    }
    case ExtensionCall::supports: {
      const auto session = reader.u64();
      const auto operation = reader.i32();
      if (!session || !operation) return std::nullopt;
      auto key = readKey(reader);
      if (!key) return std::nullopt;
      auto algorithm = reader.text();
      if (!algorithm) return std::nullopt;
      return Supports{*session, static_cast<Operation>(*operation), std::move(*key), KeyAlgorithm{std::move(*algorithm)}};
    }
    case ExtensionCall::signData: {
      const auto session = reader.u64();
      if (!session) return std::nullopt;
      auto data = reader.bytes();
      if (!data) return std::nullopt;
      auto key = readKey(reader);
      if (!key) return std::nullopt;
      auto algorithm = reader.text();
      if (!algorithm) return std::nullopt;
      return SignData{*session, std::move(*data), std::move(*key), KeyAlgorithm{std::move(*algorithm)}};
    }
    case ExtensionCall::beginAuth: {
      const auto session = reader.u64();
      const auto operation = reader.i32();
      if (!session || !operation) return std::nullopt;
      auto constraint = readConstraint(reader);
      if (!constraint) return std::nullopt;
      return BeginAuth{*session, static_cast<Operation>(*operation), std::move(*constraint)};
    }
    case ExtensionCall::finish: {
      const auto operation = reader.u64();
      if (!operation) return std::nullopt;
      auto password = readOptionalText(reader);
      if (!password) return std::nullopt;
      ExtensionRequestBody body{Finish{*operation, std::move(*password)}};
      if (*password) security::wipeSecret(**password);
      return body;
    }
  }
  return std::nullopt;
}

// ---- reply bodies ----

template <class T, class WriteValue>
void writeResult(Writer& writer, const Result<T>& result, WriteValue writeValue) {
  if (!result) {
    writer.byte(resultError);
    writeError(writer, result.error());
    return;
  }
  writer.byte(resultValue);
  if constexpr (!std::is_void_v<T>) {
    writeValue(result.value());
  }
}

void writeReplyBody(Writer& writer, const ExtensionReplyBody& body) {
  std::visit(
      [&writer](const auto& value) {
        using Body = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Body, Acknowledged>) {
        } else if constexpr (std::is_same_v<Body, Result<ExtensionObject>>) {
          writeResult(writer, value, [&writer](ExtensionObject object) { writer.u64(object); });
        } else if constexpr (std::is_same_v<Body, Result<bool>>) {
          writeResult(writer, value, [&writer](bool flag) { writer.byte(flag ? 1 : 0); });
        } else if constexpr (std::is_same_v<Body, Result<Bytes>>) {
          writeResult(writer, value, [&writer](const Bytes& bytes) { writer.field(bytes); });
        } else if constexpr (std::is_same_v<Body, Result<BegunAuth>>) {
          writeResult(writer, value, [&writer](const BegunAuth& begun) {
            writer.byte(static_cast<std::uint8_t>(begun.kind));
            if (begun.kind != AuthOperationKind::none) writer.u64(begun.operation);
          });
        } else {
          static_assert(std::is_same_v<Body, Result<void>>);
          writeResult(writer, value, [] {});
        }
      },
      body);
}

// The error of a result, or none when its tag says a value follows; fails on any other tag.
struct ResultTag {
  bool valid = false;
  std::optional<Error> error;
};

ResultTag readResultTag(Reader& reader) {
  const auto tag = reader.byte();
  if (!tag || *tag > resultValue) return {};
  if (*tag == resultValue) return {true, std::nullopt};
  auto error = readError(reader);
  if (!error) return {};
  return {true, std::move(error)};
}

template <class T, class ReadValue>
std::optional<ExtensionReplyBody> readResult(Reader& reader, ReadValue readValue) {
  auto tag = readResultTag(reader);
  if (!tag.valid) return std::nullopt;
  if (tag.error) return ExtensionReplyBody{Result<T>(std::move(*tag.error))};
  if constexpr (std::is_void_v<T>) {
    return ExtensionReplyBody{Result<void>()};
  } else {
    auto value = readValue();
    if (!value) return std::nullopt;
    return ExtensionReplyBody{Result<T>(std::move(*value))};
  }
}

std::optional<ExtensionReplyBody> readReplyBody(ExtensionCall call, Reader& reader) {
  switch (call) {
    case ExtensionCall::terminateToken:
    case ExtensionCall::releaseSession:
    case ExtensionCall::releaseOperation:
      return ExtensionReplyBody{Acknowledged{}};
    case ExtensionCall::tokenForConfiguration:
    case ExtensionCall::createSession:
      return readResult<ExtensionObject>(reader, [&reader] { return reader.u64(); });
    case ExtensionCall::supports:
      return readResult<bool>(reader, [&reader] { return reader.flag(); });
    case ExtensionCall::signData:
      return readResult<Bytes>(reader, [&reader] { return reader.bytes(); });
    case ExtensionCall::beginAuth:
      return readResult<BegunAuth>(reader, [&reader]() -> std::optional<BegunAuth> {
        const auto kind = reader.byte();
        if (!kind || *kind > static_cast<std::uint8_t>(AuthOperationKind::password)) return std::nullopt;
        BegunAuth begun{static_cast<AuthOperationKind>(*kind), 0};
        if (begun.kind == AuthOperationKind::none) return begun;
        const auto operation = reader.u64();
        if (!operation) return std::nullopt;
        begun.operation = *operation;
        return begun;
      });
    case ExtensionCall::finish:
      return readResult<void>(reader, [] { return std::optional<bool>{}; });
  }
  return std::nullopt;
}

std::optional<ExtensionCall> callOf(std::uint8_t value) {
  if (value < static_cast<std::uint8_t>(ExtensionCall::tokenForConfiguration) ||
      value > static_cast<std::uint8_t>(ExtensionCall::releaseOperation)) {
    return std::nullopt;
  }
  return static_cast<ExtensionCall>(value);
}

struct Header {
  std::uint64_t id = 0;
  ExtensionCall call = ExtensionCall::terminateToken;
};

std::optional<Header> readHeader(Reader& reader, std::uint8_t direction) {
  const auto seen = reader.byte();
  if (!seen || *seen != direction) return std::nullopt;
  const auto id = reader.u64();
  const auto callNumber = reader.byte();
  if (!id || !callNumber) return std::nullopt;
  const auto call = callOf(*callNumber);
  if (!call) return std::nullopt;
  return Header{*id, *call};
}

}  // namespace

bool replyBodyFits(ExtensionCall call, const ExtensionReplyBody& body) {
  switch (call) {
    case ExtensionCall::terminateToken:
    case ExtensionCall::releaseSession:
    case ExtensionCall::releaseOperation:
      return std::holds_alternative<Acknowledged>(body);
    case ExtensionCall::tokenForConfiguration:
    case ExtensionCall::createSession:
      return std::holds_alternative<Result<ExtensionObject>>(body);
    case ExtensionCall::supports:
      return std::holds_alternative<Result<bool>>(body);
    case ExtensionCall::signData:
      return std::holds_alternative<Result<Bytes>>(body);
    case ExtensionCall::beginAuth:
      return std::holds_alternative<Result<BegunAuth>>(body);
    case ExtensionCall::finish:
      return std::holds_alternative<Result<void>>(body);
  }
  return false;
}

std::optional<Bytes> encodeExtensionRequest(const ExtensionRequest& request) {
  std::size_t expectedSize = 64;
  if (const auto* finish = std::get_if<extension_request::Finish>(&request.body); finish && finish->password) {
    expectedSize += finish->password->size();
  }
  Writer writer(expectedSize);
  writer.byte(requestDirection);
  writer.u64(request.id);
  writer.byte(static_cast<std::uint8_t>(request.call()));
  std::visit([&writer](const auto& body) { writeBody(writer, body); }, request.body);
  return std::move(writer).finish();
}

std::optional<Bytes> encodeExtensionReply(const ExtensionReply& reply) {
  if (!replyBodyFits(reply.call, reply.body)) return std::nullopt;
  if (const auto* begun = std::get_if<Result<BegunAuth>>(&reply.body);
      begun != nullptr && begun->hasValue() && begun->value().kind == AuthOperationKind::none &&
      begun->value().operation != 0) {
    // "none" carries no handle on the wire; encoding one would not read back the same.
    return std::nullopt;
  }
  Writer writer(64);
  writer.byte(replyDirection);
  writer.u64(reply.id);
  writer.byte(static_cast<std::uint8_t>(reply.call));
  writeReplyBody(writer, reply.body);
  return std::move(writer).finish();
}

std::optional<ExtensionRequest> decodeExtensionRequest(ByteView message) {
  if (message.size() > maximumExtensionMessageSize) return std::nullopt;
  Reader reader(message);
  const auto header = readHeader(reader, requestDirection);
  if (!header) return std::nullopt;
  auto body = readRequestBody(header->call, reader);
  if (!body || !reader.atEnd()) return std::nullopt;
  return ExtensionRequest{header->id, std::move(*body)};
}

std::optional<ExtensionReply> decodeExtensionReply(ByteView message) {
  if (message.size() > maximumExtensionMessageSize) return std::nullopt;
  Reader reader(message);
  const auto header = readHeader(reader, replyDirection);
  if (!header) return std::nullopt;
  auto body = readReplyBody(header->call, reader);
  if (!body || !reader.atEnd()) return std::nullopt;
  return ExtensionReply{header->id, header->call, std::move(*body)};
}

void wipeMessage(Bytes& message) noexcept {
  message.resize(message.capacity());
  if (!message.empty()) OPENSSL_cleanse(message.data(), message.size());
  message.clear();
}

}  // namespace platform::tokenkit

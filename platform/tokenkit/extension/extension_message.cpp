#include "platform/tokenkit/extension/extension_message.hpp"

#include "platform/foundation/binary_fields.hpp"
#include "platform/security/secret_memory.hpp"
#include "platform/tokenkit/store_format.hpp"

#include <openssl/crypto.h>

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

using Reader = foundation::BinaryFieldReader;

// A message's fields go through the shared writer, which refuses any field longer than a whole
// message could be; what sets this one apart is that a message may hold a password. The shared
// writer is a private base, so that no message leaves but through finish.
class Writer : private foundation::BinaryFieldWriter {
public:
  using BinaryFieldWriter::fail;
  using BinaryFieldWriter::field;
  using BinaryFieldWriter::i32;
  using BinaryFieldWriter::u32;
  using BinaryFieldWriter::u64;
  using BinaryFieldWriter::u8;

  // Reserving the whole message up front keeps a growing buffer from leaving copies of a password
  // behind in memory it gave back.
  explicit Writer(std::size_t expectedSize) : BinaryFieldWriter(maximumExtensionMessageSize) { reserve(expectedSize); }

  // The message, or none when it failed or grew too large. A failed encoding may already hold a
  // password, so its bytes are wiped before they are dropped.
  std::optional<Bytes> finish() && {
    const bool usable = !failed() && size() <= maximumExtensionMessageSize;
    auto bytes = std::move(*this).takeBytes();
    if (!usable) {
      wipeMessage(bytes);
      return std::nullopt;
    }
    return bytes;
  }
};

void writeKey(Writer& writer, const ObjectID& key) {
  if (const auto* text = std::get_if<std::string>(&key)) {
    writer.u8(keyText);
    writer.field(*text);
  } else if (const auto* bytes = std::get_if<Bytes>(&key)) {
    writer.u8(keyBytes);
    writer.field(*bytes);
  } else {
    writer.u8(keyAbsent);
  }
}

std::optional<ObjectID> readKey(Reader& reader) {
  const auto tag = reader.u8();
  if (!tag) return std::nullopt;
  switch (*tag) {
    case keyAbsent:
      return ObjectID{};
    case keyText:
      if (auto text = reader.textField()) return ObjectID{std::move(*text)};
      return std::nullopt;
    case keyBytes:
      if (auto bytes = reader.bytesField()) return ObjectID{std::move(*bytes)};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void writeConstraint(Writer& writer, const Constraint& constraint) {
  if (const auto* text = std::get_if<std::string>(&constraint)) {
    writer.u8(constraintText);
    writer.field(*text);
  } else {
    writer.u8(std::get<bool>(constraint) ? constraintTrue : constraintFalse);
  }
}

std::optional<Constraint> readConstraint(Reader& reader) {
  const auto tag = reader.u8();
  if (!tag) return std::nullopt;
  switch (*tag) {
    case constraintFalse:
      return Constraint{false};
    case constraintTrue:
      return Constraint{true};
    case constraintText:
      if (auto text = reader.textField()) return Constraint{std::move(*text)};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void writeOptionalText(Writer& writer, const std::optional<std::string>& value) {
  writer.u8(value ? 1 : 0);
  if (value) writer.field(*value);
}

std::optional<std::optional<std::string>> readOptionalText(Reader& reader) {
  const auto present = reader.flag();
  if (!present) return std::nullopt;
  if (!*present) return std::optional<std::string>{};
  auto text = reader.textField();
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
  writer.field(body.algorithm.id);
}
void writeBody(Writer& writer, const extension_request::SignData& body) {
  writer.u64(body.session);
  writer.field(body.data);
  writeKey(writer, body.key);
  writer.field(body.algorithm.id);
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
      auto algorithm = reader.textField();
      if (!algorithm) return std::nullopt;
      return Supports{*session, static_cast<Operation>(*operation), std::move(*key), KeyAlgorithm{std::move(*algorithm)}};
    }
    case ExtensionCall::signData: {
      const auto session = reader.u64();
      if (!session) return std::nullopt;
      auto data = reader.bytesField();
      if (!data) return std::nullopt;
      auto key = readKey(reader);
      if (!key) return std::nullopt;
      auto algorithm = reader.textField();
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
    writer.u8(resultError);
    writeError(writer, result.error());
    return;
  }
  writer.u8(resultValue);
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
          writeResult(writer, value, [&writer](bool flag) { writer.u8(flag ? 1 : 0); });
        } else if constexpr (std::is_same_v<Body, Result<Bytes>>) {
          writeResult(writer, value, [&writer](const Bytes& bytes) { writer.field(bytes); });
        } else if constexpr (std::is_same_v<Body, Result<BegunAuth>>) {
          writeResult(writer, value, [&writer](const BegunAuth& begun) {
            writer.u8(static_cast<std::uint8_t>(begun.kind));
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
  const auto tag = reader.u8();
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
      return readResult<Bytes>(reader, [&reader] { return reader.bytesField(); });
    case ExtensionCall::beginAuth:
      return readResult<BegunAuth>(reader, [&reader]() -> std::optional<BegunAuth> {
        const auto kind = reader.u8();
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
  const auto seen = reader.u8();
  if (!seen || *seen != direction) return std::nullopt;
  const auto id = reader.u64();
  const auto callNumber = reader.u8();
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
  writer.u8(requestDirection);
  writer.u64(request.id);
  writer.u8(static_cast<std::uint8_t>(request.call()));
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
  writer.u8(replyDirection);
  writer.u64(reply.id);
  writer.u8(static_cast<std::uint8_t>(reply.call));
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

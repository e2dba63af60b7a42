#include "platform/tokenkit/client/token_host_protocol.hpp"

#include "platform/foundation/binary_fields.hpp"
#include "platform/foundation/unicode.hpp"

#include <type_traits>

namespace platform::tokenkit {
namespace {

enum class MessageType : std::uint8_t {
  list = 1,
  sign = 2,
  tokens = 129,
  signature = 130,
  error = 131,
};

enum class ItemTag : std::uint8_t { certificate = 1, key = 2 };

enum class ConstraintForm : std::uint8_t { never = 0, always = 1, text = 2 };

namespace ability {
constexpr std::uint8_t sign = 1U << 0U;
constexpr std::uint8_t decrypt = 1U << 1U;
constexpr std::uint8_t keyExchange = 1U << 2U;
constexpr std::uint8_t login = 1U << 3U;
constexpr std::uint8_t all = sign | decrypt | keyExchange | login;
}  // namespace ability

constexpr int highestOperation = static_cast<int>(Operation::performKeyExchange);

using foundation::LengthPrefix;
static_assert(tokenHostMessageHeaderBytes == static_cast<std::size_t>(LengthPrefix::fourBytes));

// Reads a body; text must be UTF-8.
class Reader : public foundation::BinaryFieldReader {
public:
  using BinaryFieldReader::BinaryFieldReader;

  std::optional<std::string> text() {
    auto value = textField();
    if (!value || !foundation::unicode::isValidUTF8(*value)) return std::nullopt;
    return value;
  }
};

// Builds a message behind the length of its body; a field out of form spoils the whole message.
// The shared writer is a private base, so that no message leaves without its length.
class Writer : private foundation::BinaryFieldWriter {
public:
  using BinaryFieldWriter::count;
  using BinaryFieldWriter::fail;
  using BinaryFieldWriter::field;
  using BinaryFieldWriter::flag;
  using BinaryFieldWriter::i32;
  using BinaryFieldWriter::u64;
  using BinaryFieldWriter::u8;

  Writer() : BinaryFieldWriter(maxTokenHostMessageBodyBytes), header_(lengthPlaceholder(LengthPrefix::fourBytes)) {}

  void text(std::string_view value) {
    if (!foundation::unicode::isValidUTF8(value)) return fail();
    field(value);
  }

  // Header and body, or none when spoiled or too long.
  std::optional<Bytes> message() && {
    if (size() - tokenHostMessageHeaderBytes > maxTokenHostMessageBodyBytes) return std::nullopt;
    fillLength(header_, LengthPrefix::fourBytes);
    return std::move(*this).finished();
  }

private:
  std::size_t header_;
};

std::optional<Constraint> readConstraint(Reader& reader) {
  const auto form = reader.u8();
  if (!form) return std::nullopt;
  switch (static_cast<ConstraintForm>(*form)) {
    case ConstraintForm::never: return Constraint{false};
    case ConstraintForm::always: return Constraint{true};
    case ConstraintForm::text: {
      auto text = reader.text();
      if (!text) return std::nullopt;
      return Constraint{std::move(*text)};
    }
  }
  return std::nullopt;
}

std::optional<KeychainItem> readItem(Reader& reader) {
  const auto tag = reader.u8();
  if (!tag) return std::nullopt;
  auto objectID = reader.text();
  auto label = reader.text();
  auto der = reader.bytesField();
  if (!objectID || !label || !der) return std::nullopt;
  switch (static_cast<ItemTag>(*tag)) {
    case ItemTag::certificate:
      return KeychainItem{KeychainCertificate{std::move(*objectID), std::move(*label), std::move(*der)}};
    case ItemTag::key: {
      KeychainKey key;
      key.objectID = std::move(*objectID);
      key.label = std::move(*label);
      key.certificateDER = std::move(*der);
      const auto abilities = reader.u8();
      const auto count = reader.u8();
      if (!abilities || (*abilities & ~std::uint64_t{ability::all}) != 0 || !count) return std::nullopt;
      key.canSign = (*abilities & ability::sign) != 0;
      key.canDecrypt = (*abilities & ability::decrypt) != 0;
      key.canPerformKeyExchange = (*abilities & ability::keyExchange) != 0;
      key.isSuitableForLogin = (*abilities & ability::login) != 0;
      int previous = -1;
      for (std::uint64_t i = 0; i < *count; ++i) {
        const auto operation = reader.u8();
        // Ascending without repeats: the one spelling of a map.
        if (!operation || static_cast<int>(*operation) <= previous || *operation > highestOperation) {
          return std::nullopt;
        }
        previous = static_cast<int>(*operation);
        auto constraint = readConstraint(reader);
        if (!constraint) return std::nullopt;
        key.constraints.emplace(static_cast<Operation>(*operation), std::move(*constraint));
      }
      return KeychainItem{std::move(key)};
    }
  }
  return std::nullopt;
}

std::optional<HostedToken> readToken(Reader& reader) {
  auto driverID = reader.text();
  auto instanceID = reader.text();
  const auto count = reader.u32();
  if (!driverID || !instanceID || !count) return std::nullopt;
  HostedToken token{std::move(*driverID), std::move(*instanceID), {}};
  // Each item takes bytes of its own, so a count the body cannot hold fails as soon as the bytes
  // run out, before it can make the vector grow far.
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto item = readItem(reader);
    if (!item) return std::nullopt;
    token.keychainItems.push_back(std::move(*item));
  }
  return token;
}

std::optional<std::vector<HostedToken>> readTokens(Reader& reader) {
  const auto count = reader.u32();
  if (!count) return std::nullopt;
  std::vector<HostedToken> tokens;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto token = readToken(reader);
    if (!token) return std::nullopt;
    tokens.push_back(std::move(*token));
  }
  return tokens;
}

std::optional<Error> readError(Reader& reader) {
  const auto code = reader.i32();
  const auto hasText = reader.flag();
  if (!code || !hasText) return std::nullopt;
  Error error(static_cast<int>(*code));
  if (*hasText) {
    error.description = reader.text();
    if (!error.description) return std::nullopt;
  }
  return error;
}

void writeConstraint(Writer& writer, const Constraint& constraint) {
  if (const auto* allowed = std::get_if<bool>(&constraint)) {
    writer.u8(static_cast<std::uint8_t>(*allowed ? ConstraintForm::always : ConstraintForm::never));
  } else {
    writer.u8(static_cast<std::uint8_t>(ConstraintForm::text));
    writer.text(std::get<std::string>(constraint));
  }
}

void writeItem(Writer& writer, const KeychainItem& item) {
  std::visit(
      [&](const auto& value) {
        using Item = std::decay_t<decltype(value)>;
        writer.u8(static_cast<std::uint8_t>(std::is_same_v<Item, KeychainKey> ? ItemTag::key : ItemTag::certificate));
        writer.text(value.objectID);
        writer.text(value.label);
        writer.field(value.certificateDER);
        if constexpr (std::is_same_v<Item, KeychainKey>) {
          std::uint8_t abilities = 0;
          if (value.canSign) abilities |= ability::sign;
          if (value.canDecrypt) abilities |= ability::decrypt;
          if (value.canPerformKeyExchange) abilities |= ability::keyExchange;
          if (value.isSuitableForLogin) abilities |= ability::login;
          writer.u8(abilities);
          // At most one constraint per operation the protocol knows, so the count fits its byte.
          writer.u8(static_cast<std::uint8_t>(value.constraints.size()));
          for (const auto& [operation, constraint] : value.constraints) {
            const int number = static_cast<int>(operation);
            if (number < 0 || number > highestOperation) return writer.fail();
            writer.u8(static_cast<std::uint8_t>(number));
            writeConstraint(writer, constraint);
          }
        }
      },
      item);
}

void writeTokens(Writer& writer, const std::vector<HostedToken>& tokens) {
  writer.count(tokens.size());
  for (const auto& token : tokens) {
    writer.text(token.driverID);
    writer.text(token.instanceID);
    writer.count(token.keychainItems.size());
    for (const auto& item : token.keychainItems) writeItem(writer, item);
  }
}

void writeError(Writer& writer, const Error& error) {
  writer.i32(static_cast<std::int32_t>(error.code));
  writer.flag(error.description.has_value());
  if (error.description) writer.text(*error.description);
}

}  // namespace

std::string tokenHostSocketPath(const xpc::RuntimeDirectory& directory) {
  return directory.path() + "/" + std::string(tokenHostSocketName);
}

std::optional<std::size_t> tokenHostMessageBodyLength(
    const std::array<std::uint8_t, tokenHostMessageHeaderBytes>& header) {
  std::size_t length = 0;
  for (const auto byte : header) length = (length << 8U) | byte;
  if (length == 0 || length > maxTokenHostMessageBodyBytes) return std::nullopt;
  return length;
}

std::optional<TokenHostRequest> decodeTokenHostRequest(ByteView body) {
  if (body.size() > maxTokenHostMessageBodyBytes) return std::nullopt;
  Reader reader(body);
  const auto type = reader.u8();
  const auto requestID = reader.u64();
  if (!type || !requestID) return std::nullopt;
  TokenHostRequest request{*requestID, ListTokensRequest{}};
  switch (static_cast<MessageType>(*type)) {
    case MessageType::list: break;
    case MessageType::sign: {
      auto keyObjectID = reader.text();
      auto algorithmID = reader.text();
      const auto digestLength = reader.u8();
      if (!keyObjectID || !algorithmID || !digestLength || *digestLength > maxTokenHostDigestBytes) {
        return std::nullopt;
      }
      const auto digest = reader.take(static_cast<std::size_t>(*digestLength));
      if (!digest) return std::nullopt;
      request.content =
          SignDigestRequest{std::move(*keyObjectID), std::move(*algorithmID), Bytes(digest->begin(), digest->end())};
      break;
    }
    default: return std::nullopt;
  }
  if (!reader.atEnd()) return std::nullopt;
  return request;
}

std::optional<TokenHostAnswer> decodeTokenHostAnswer(ByteView body) {
  if (body.size() > maxTokenHostMessageBodyBytes) return std::nullopt;
  Reader reader(body);
  const auto type = reader.u8();
  const auto requestID = reader.u64();
  if (!type || !requestID) return std::nullopt;
  TokenHostAnswer answer{*requestID, TokensAnswer{}};
  switch (static_cast<MessageType>(*type)) {
    case MessageType::tokens: {
      auto tokens = readTokens(reader);
      if (!tokens) return std::nullopt;
      answer.content = TokensAnswer{std::move(*tokens)};
      break;
    }
    case MessageType::signature: {
      auto signature = reader.bytesField();
      if (!signature) return std::nullopt;
      answer.content = SignatureAnswer{std::move(*signature)};
      break;
    }
    case MessageType::error: {
      auto error = readError(reader);
      if (!error) return std::nullopt;
      answer.content = std::move(*error);
      break;
    }
    default: return std::nullopt;
  }
  if (!reader.atEnd()) return std::nullopt;
  return answer;
}

std::optional<Bytes> encodeTokenHostMessage(const TokenHostRequest& request) {
  Writer writer;
  if (const auto* sign = std::get_if<SignDigestRequest>(&request.content)) {
    writer.u8(static_cast<std::uint8_t>(MessageType::sign));
    writer.u64(request.requestID);
    writer.text(sign->keyObjectID);
    writer.text(sign->algorithmID);
    if (sign->digest.size() > maxTokenHostDigestBytes) return std::nullopt;
    writer.field(sign->digest, LengthPrefix::oneByte);
  } else {
    writer.u8(static_cast<std::uint8_t>(MessageType::list));
    writer.u64(request.requestID);
  }
  return std::move(writer).message();
}

std::optional<Bytes> encodeTokenHostMessage(const TokenHostAnswer& answer) {
  Writer writer;
  std::visit(
      [&](const auto& content) {
        using Content = std::decay_t<decltype(content)>;
        if constexpr (std::is_same_v<Content, TokensAnswer>) {
          writer.u8(static_cast<std::uint8_t>(MessageType::tokens));
          writer.u64(answer.requestID);
          writeTokens(writer, content.tokens);
        } else if constexpr (std::is_same_v<Content, SignatureAnswer>) {
          writer.u8(static_cast<std::uint8_t>(MessageType::signature));
          writer.u64(answer.requestID);
          writer.field(content.signature);
        } else {
          writer.u8(static_cast<std::uint8_t>(MessageType::error));
          writer.u64(answer.requestID);
          writeError(writer, content);
        }
      },
      answer.content);
  return std::move(writer).message();
}

}  // namespace platform::tokenkit

#include "platform/tokenkit/client/token_host_protocol.hpp"

#include "platform/foundation/unicode.hpp"

#include <limits>
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

class Reader {
public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  bool atEnd() const { return position_ == bytes_.size(); }

  std::optional<std::uint64_t> integer(std::size_t width) {
    if (bytes_.size() - position_ < width) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8U) | bytes_[position_++];
    return value;
  }

  std::optional<ByteView> take(std::size_t count) {
    if (bytes_.size() - position_ < count) return std::nullopt;
    const ByteView taken = bytes_.subspan(position_, count);
    position_ += count;
    return taken;
  }

  std::optional<Bytes> blob() {
    const auto length = integer(4);
    if (!length) return std::nullopt;
    const auto bytes = take(static_cast<std::size_t>(*length));
    if (!bytes) return std::nullopt;
    return Bytes(bytes->begin(), bytes->end());
  }

  std::optional<std::string> text() {
    const auto length = integer(4);
    if (!length) return std::nullopt;
    const auto bytes = take(static_cast<std::size_t>(*length));
    if (!bytes) return std::nullopt;
    std::string value(bytes->begin(), bytes->end());
    if (!foundation::unicode::isValidUTF8(value)) return std::nullopt;
    return value;
  }

  std::optional<bool> flag() {
    const auto value = integer(1);
    if (!value || *value > 1) return std::nullopt;
    return *value == 1;
  }

private:
  ByteView bytes_;
  std::size_t position_ = 0;
};

// Builds a body; a field out of form spoils the whole message.
class Writer {
public:
  void integer(std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i > 0; --i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
  }

  void blob(ByteView bytes) {
    if (!fitsLength(bytes.size())) return spoil();
    integer(bytes.size(), 4);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }

  void text(std::string_view value) {
    if (!foundation::unicode::isValidUTF8(value)) return spoil();
    blob(ByteView(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
  }

  void spoil() { spoiled_ = true; }

  // Header and body, or none when spoiled or too long.
  std::optional<Bytes> message() const {
    if (spoiled_ || bytes_.size() > maxTokenHostMessageBodyBytes) return std::nullopt;
    Bytes framed;
    framed.reserve(tokenHostMessageHeaderBytes + bytes_.size());
    for (std::size_t i = tokenHostMessageHeaderBytes; i > 0; --i) {
      framed.push_back(static_cast<std::uint8_t>(bytes_.size() >> (8 * (i - 1))));
    }
    framed.insert(framed.end(), bytes_.begin(), bytes_.end());
    return framed;
  }

private:
  static bool fitsLength(std::size_t size) { return size <= maxTokenHostMessageBodyBytes; }

  Bytes bytes_;
  bool spoiled_ = false;
};

std::optional<Constraint> readConstraint(Reader& reader) {
  const auto form = reader.integer(1);
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
  const auto tag = reader.integer(1);
  if (!tag) return std::nullopt;
  auto objectID = reader.text();
  auto label = reader.text();
  auto der = reader.blob();
  if (!objectID || !label || !der) return std::nullopt;
  switch (static_cast<ItemTag>(*tag)) {
    case ItemTag::certificate:
      return KeychainItem{KeychainCertificate{std::move(*objectID), std::move(*label), std::move(*der)}};
    case ItemTag::key: {
      KeychainKey key;
      key.objectID = std::move(*objectID);
      key.label = std::move(*label);
      key.certificateDER = std::move(*der);
      const auto abilities = reader.integer(1);
      const auto count = reader.integer(1);
      if (!abilities || (*abilities & ~std::uint64_t{ability::all}) != 0 || !count) return std::nullopt;
      key.canSign = (*abilities & ability::sign) != 0;
      key.canDecrypt = (*abilities & ability::decrypt) != 0;
      key.canPerformKeyExchange = (*abilities & ability::keyExchange) != 0;
      key.isSuitableForLogin = (*abilities & ability::login) != 0;
      int previous = -1;
      for (std::uint64_t i = 0; i < *count; ++i) {
        const auto operation = reader.integer(1);
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
  const auto count = reader.integer(4);
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
  const auto count = reader.integer(4);
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
  const auto code = reader.integer(4);
  const auto hasText = reader.flag();
  if (!code || !hasText) return std::nullopt;
  Error error(static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(*code))));
  if (*hasText) {
    error.description = reader.text();
    if (!error.description) return std::nullopt;
  }
  return error;
}

void writeConstraint(Writer& writer, const Constraint& constraint) {
  if (const auto* allowed = std::get_if<bool>(&constraint)) {
    writer.integer(static_cast<std::uint8_t>(*allowed ? ConstraintForm::always : ConstraintForm::never), 1);
  } else {
    writer.integer(static_cast<std::uint8_t>(ConstraintForm::text), 1);
    writer.text(std::get<std::string>(constraint));
  }
}

void writeItem(Writer& writer, const KeychainItem& item) {
  std::visit(
      [&](const auto& value) {
        using Item = std::decay_t<decltype(value)>;
        writer.integer(static_cast<std::uint8_t>(std::is_same_v<Item, KeychainKey> ? ItemTag::key : ItemTag::certificate),
                       1);
        writer.text(value.objectID);
        writer.text(value.label);
        writer.blob(value.certificateDER);
        if constexpr (std::is_same_v<Item, KeychainKey>) {
          std::uint8_t abilities = 0;
          if (value.canSign) abilities |= ability::sign;
          if (value.canDecrypt) abilities |= ability::decrypt;
          if (value.canPerformKeyExchange) abilities |= ability::keyExchange;
          if (value.isSuitableForLogin) abilities |= ability::login;
          writer.integer(abilities, 1);
          // At most one constraint per operation the protocol knows, so the count fits its byte.
          writer.integer(value.constraints.size(), 1);
          for (const auto& [operation, constraint] : value.constraints) {
            const int number = static_cast<int>(operation);
            if (number < 0 || number > highestOperation) return writer.spoil();
            writer.integer(static_cast<std::uint64_t>(number), 1);
            writeConstraint(writer, constraint);
          }
        }
      },
      item);
}

void writeTokens(Writer& writer, const std::vector<HostedToken>& tokens) {
  if (tokens.size() > std::numeric_limits<std::uint32_t>::max()) return writer.spoil();
  writer.integer(tokens.size(), 4);
  for (const auto& token : tokens) {
    writer.text(token.driverID);
    writer.text(token.instanceID);
    if (token.keychainItems.size() > std::numeric_limits<std::uint32_t>::max()) return writer.spoil();
    writer.integer(token.keychainItems.size(), 4);
    for (const auto& item : token.keychainItems) writeItem(writer, item);
  }
}

void writeError(Writer& writer, const Error& error) {
  writer.integer(static_cast<std::uint32_t>(static_cast<std::int32_t>(error.code)), 4);
  writer.integer(error.description ? 1 : 0, 1);
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
  const auto type = reader.integer(1);
  const auto requestID = reader.integer(8);
  if (!type || !requestID) return std::nullopt;
  TokenHostRequest request{*requestID, ListTokensRequest{}};
  switch (static_cast<MessageType>(*type)) {
    case MessageType::list: break;
    case MessageType::sign: {
      auto keyObjectID = reader.text();
      auto algorithmID = reader.text();
      const auto digestLength = reader.integer(1);
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
  const auto type = reader.integer(1);
  const auto requestID = reader.integer(8);
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
      auto signature = reader.blob();
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
    writer.integer(static_cast<std::uint8_t>(MessageType::sign), 1);
    writer.integer(request.requestID, 8);
    writer.text(sign->keyObjectID);
    writer.text(sign->algorithmID);
    if (sign->digest.size() > maxTokenHostDigestBytes) return std::nullopt;
    writer.integer(sign->digest.size(), 1);
    for (const auto byte : sign->digest) writer.integer(byte, 1);
  } else {
    writer.integer(static_cast<std::uint8_t>(MessageType::list), 1);
    writer.integer(request.requestID, 8);
  }
  return writer.message();
}

std::optional<Bytes> encodeTokenHostMessage(const TokenHostAnswer& answer) {
  Writer writer;
  std::visit(
      [&](const auto& content) {
        using Content = std::decay_t<decltype(content)>;
        if constexpr (std::is_same_v<Content, TokensAnswer>) {
          writer.integer(static_cast<std::uint8_t>(MessageType::tokens), 1);
          writer.integer(answer.requestID, 8);
          writeTokens(writer, content.tokens);
        } else if constexpr (std::is_same_v<Content, SignatureAnswer>) {
          writer.integer(static_cast<std::uint8_t>(MessageType::signature), 1);
          writer.integer(answer.requestID, 8);
          writer.blob(content.signature);
        } else {
          writer.integer(static_cast<std::uint8_t>(MessageType::error), 1);
          writer.integer(answer.requestID, 8);
          writeError(writer, content);
        }
      },
      answer.content);
  return writer.message();
}

}  // namespace platform::tokenkit

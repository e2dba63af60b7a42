#include "platform/foundation/json_coding.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/unicode.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value_stack.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace platform::foundation {
namespace {

namespace json = boost::json;

enum class Refusal { none, duplicateKey, nonFiniteNumber };

struct ExactInteger {
  bool negative;
  std::uint64_t magnitude;
};

constexpr std::uint64_t magnitudeOfInt64Min = std::uint64_t{1} << 63;

// The value of a JSON number text (already checked by the parser) when it is an integer whose
// magnitude fits in 64 bits, whatever its notation: "34.0", "1e2", "-0.0" and "2.5e1" are
// integers, "3.5" and "1e-1" are not.
std::optional<ExactInteger> exactInteger(std::string_view text) {
  std::size_t index = 0;
  const bool negative = index < text.size() && text[index] == '-';
  if (negative) ++index;
  const auto isDigit = [&] { return index < text.size() && text[index] >= '0' && text[index] <= '9'; };

  std::string digits;
  std::int64_t exponent = 0;
  for (; isDigit(); ++index) digits.push_back(text[index]);
  if (index < text.size() && text[index] == '.') {
    for (++index; isDigit(); ++index) {
      digits.push_back(text[index]);
      --exponent;
    }
  }
  if (index < text.size() && (text[index] == 'e' || text[index] == 'E')) {
    ++index;
    const bool negativeExponent = index < text.size() && text[index] == '-';
    if (index < text.size() && (text[index] == '-' || text[index] == '+')) ++index;
    // Saturated: any exponent this large makes the number a fraction or too large already.
    std::int64_t written = 0;
    for (; isDigit(); ++index) written = std::min<std::int64_t>(written * 10 + (text[index] - '0'), 1'000'000'000);
    exponent += negativeExponent ? -written : written;
  }
  if (index != text.size()) return std::nullopt;

  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return ExactInteger{negative, 0};
  digits.erase(0, first);
  while (digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  if (exponent < 0) return std::nullopt;
  if (static_cast<std::int64_t>(digits.size()) + exponent > 20) return std::nullopt;

  constexpr auto maximum = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t magnitude = 0;
  for (const char digit : digits) {
    const auto value = static_cast<std::uint64_t>(digit - '0');
    if (magnitude > (maximum - value) / 10) return std::nullopt;
    magnitude = magnitude * 10 + value;
  }
  for (std::int64_t power = 0; power < exponent; ++power) {
    if (magnitude > maximum / 10) return std::nullopt;
    magnitude *= 10;
  }
  return ExactInteger{negative, magnitude};
}

// Builds the document like Boost's own parser does, and in addition refuses what that parser lets
// through: a key repeated within one object (Boost keeps the last) and a number that overflows to
// infinity (Boost gives infinity without an error). A number written with a fraction or an
// exponent that is exactly an integer is kept as that integer (see parseJSON).
class StrictHandler {
public:
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  StrictHandler() { stack_.reset(); }

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }

  bool on_object_begin(json::error_code&) {
    keysOfOpenObjects_.emplace_back();
    return true;
  }
  bool on_object_end(std::size_t size, json::error_code&) {
    keysOfOpenObjects_.pop_back();
    stack_.push_object(size);
    return true;
  }

  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t size, json::error_code&) {
    stack_.push_array(size);
    return true;
  }

  bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
    stack_.push_chars(part);
    pendingKey_.append(part.data(), part.size());
    return true;
  }
  bool on_key(json::string_view last, std::size_t, json::error_code& ec) {
    pendingKey_.append(last.data(), last.size());
    const bool isNew = keysOfOpenObjects_.back().insert(pendingKey_).second;
    pendingKey_.clear();
    if (!isNew) return refuse(Refusal::duplicateKey, ec);
    stack_.push_key(last);
    return true;
  }

  bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
    stack_.push_chars(part);
    return true;
  }
  bool on_string(json::string_view last, std::size_t, json::error_code&) {
    stack_.push_string(last);
    return true;
  }

  bool on_number_part(json::string_view part, json::error_code&) {
    numberText_.append(part.data(), part.size());
    return true;
  }
  bool on_int64(std::int64_t number, json::string_view, json::error_code&) {
    numberText_.clear();
    stack_.push_int64(number);
    return true;
  }
  bool on_uint64(std::uint64_t number, json::string_view, json::error_code&) {
    numberText_.clear();
    stack_.push_uint64(number);
    return true;
  }
  bool on_double(double number, json::string_view last, json::error_code& ec) {
    numberText_.append(last.data(), last.size());
    const auto exact = exactInteger(numberText_);
    // Boost's own conversion can be one unit in the last place off for long mantissas; from_chars
    // rounds correctly and ignores the locale. Out of its range it leaves Boost's value (infinity
    // or an underflowed one).
    std::from_chars(numberText_.data(), numberText_.data() + numberText_.size(), number);
    numberText_.clear();
    if (!std::isfinite(number)) return refuse(Refusal::nonFiniteNumber, ec);
    // The double may have rounded the written value (9007199254740993.0, -9223372036854775809):
    // a number is an integer only when its text is one exactly.
    if (exact && exact->negative && exact->magnitude <= magnitudeOfInt64Min) {
      stack_.push_int64(exact->magnitude == magnitudeOfInt64Min ? std::numeric_limits<std::int64_t>::min()
                                                                 : -static_cast<std::int64_t>(exact->magnitude));
    } else if (exact && !exact->negative && exact->magnitude <= std::numeric_limits<std::int64_t>::max()) {
      stack_.push_int64(static_cast<std::int64_t>(exact->magnitude));
    } else if (exact && !exact->negative) {
      stack_.push_uint64(exact->magnitude);
    } else {
      stack_.push_double(number);
    }
    return true;
  }

  bool on_bool(bool flag, json::error_code&) {
    stack_.push_bool(flag);
    return true;
  }
  bool on_null(json::error_code&) {
    stack_.push_null();
    return true;
  }

  // Comments are not allowed by the options; the parser never calls these.
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  Refusal refusal() const { return refusal_; }
  json::value release() { return stack_.release(); }

private:
  bool refuse(Refusal refusal, json::error_code& ec) {
    refusal_ = refusal;
    ec = json::error::syntax;
    return false;
  }

  json::value_stack stack_;
  std::vector<std::unordered_set<std::string>> keysOfOpenObjects_;
  std::string pendingKey_;
  std::string numberText_;
  Refusal refusal_ = Refusal::none;
};

DecodingError notValidJSON(std::string_view reason) {
  return DecodingError::dataCorrupted(std::string(), "The given data was not valid JSON: " + std::string(reason) + ".");
}

const char* kindName(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null: return "null";
    case json::kind::bool_: return "a boolean";
    case json::kind::int64:
    case json::kind::uint64:
    case json::kind::double_: return "a number";
    case json::kind::string: return "a string";
    case json::kind::array: return "an array";
    case json::kind::object: return "an object";
  }
  return "a value";
}

// null is a missing value, any other kind a value of the wrong type.
[[noreturn]] void throwUnexpected(const json::value& value, const std::string& path, std::string_view expected) {
  if (value.is_null()) {
    throw DecodingError::valueNotFound(path, "Expected " + std::string(expected) + " but found null instead.");
  }
  throw DecodingError::typeMismatch(path, "Expected " + std::string(expected) + " but found " + kindName(value) + " instead.");
}

const json::string& expectString(const json::value& value, const std::string& path, std::string_view expected) {
  if (!value.is_string()) throwUnexpected(value, path, expected);
  return value.get_string();
}

}  // namespace

json::value parseJSON(std::string_view text) {
  json::basic_parser<StrictHandler> parser(json::parse_options{});
  json::error_code ec;
  // The parser must not see a null pointer, which an empty view may carry.
  const char* data = text.empty() ? "" : text.data();
  const std::size_t consumed = parser.write_some(false, data, text.size(), ec);
  if (ec) {
    switch (parser.handler().refusal()) {
      case Refusal::duplicateKey: throw notValidJSON("an object has the same key twice");
      case Refusal::nonFiniteNumber: throw notValidJSON("a number is too large to be represented");
      case Refusal::none: throw notValidJSON(ec.message());
    }
  }
  if (consumed != text.size() || !parser.done()) throw notValidJSON("unexpected data after the value");
  return parser.handler().release();
}

json::value parseJSON(ByteView bytes) {
  return parseJSON(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string json_detail::keyPath(const std::string& path, std::string_view key) {
  if (path.empty()) return std::string(key);
  std::string result;
  result.reserve(path.size() + 1 + key.size());
  result.append(path).append(".").append(key);
  return result;
}

std::string json_detail::indexPath(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

bool json_detail::decodeBool(const json::value& value, const std::string& path) {
  if (!value.is_bool()) throwUnexpected(value, path, "a boolean");
  return value.get_bool();
}

std::int64_t json_detail::decodeInt64(const json::value& value, const std::string& path) {
  static constexpr auto description = "The number does not fit in a 64-bit signed integer.";
  switch (value.kind()) {
    case json::kind::int64: return value.get_int64();
    case json::kind::uint64: throw DecodingError::dataCorrupted(path, description);
    // The parser keeps every exact integer as one, so a double is a fraction or out of range.
    case json::kind::double_: throw DecodingError::dataCorrupted(path, description);
    default: throwUnexpected(value, path, "an integer");
  }
}

std::uint64_t json_detail::decodeUInt64(const json::value& value, const std::string& path) {
  static constexpr auto description = "The number does not fit in a 64-bit unsigned integer.";
  switch (value.kind()) {
    case json::kind::uint64: return value.get_uint64();
    case json::kind::int64:
      if (value.get_int64() < 0) throw DecodingError::dataCorrupted(path, description);
      return static_cast<std::uint64_t>(value.get_int64());
    case json::kind::double_: throw DecodingError::dataCorrupted(path, description);
    default: throwUnexpected(value, path, "an unsigned integer");
  }
}

std::string json_detail::decodeString(const json::value& value, const std::string& path) {
  const auto& text = expectString(value, path, "a string");
  return std::string(text.data(), text.size());
}

UUID json_detail::decodeUUID(const json::value& value, const std::string& path) {
  const auto& text = expectString(value, path, "a UUID string");
  auto uuid = UUID::fromString(std::string_view(text.data(), text.size()));
  if (!uuid) throw DecodingError::dataCorrupted(path, "Attempted to decode a UUID from an invalid UUID string.");
  return *uuid;
}

Bytes json_detail::decodeBase64(const json::value& value, const std::string& path) {
  const auto& text = expectString(value, path, "a Base64 string");
  auto bytes = base64Decoded(std::string_view(text.data(), text.size()));
  if (!bytes) throw DecodingError::dataCorrupted(path, "The string is not valid Base64.");
  return std::move(*bytes);
}

const json::object& json_detail::expectObject(const json::value& value, const std::string& path) {
  if (!value.is_object()) throwUnexpected(value, path, "an object");
  return value.get_object();
}

const json::array& json_detail::expectArray(const json::value& value, const std::string& path) {
  if (!value.is_array()) throwUnexpected(value, path, "an array");
  return value.get_array();
}

JSONObjectReader JSONObjectReader::root(const json::value& document) {
  return JSONObjectReader(json_detail::expectObject(document, std::string()), std::string());
}

JSONObjectReader::JSONObjectReader(const json::object& object, std::string codingPath)
    : object_(&object), codingPath_(std::move(codingPath)) {}

JSONObjectWriter& JSONObjectWriter::setString(std::string_view key, std::string_view text) {
  if (!unicode::isValidUTF8(text)) throw std::invalid_argument("JSON text must be well-formed UTF-8");
  insert(key, json::string(text));
  return *this;
}

JSONObjectWriter& JSONObjectWriter::setInt64(std::string_view key, std::int64_t number) {
  insert(key, number);
  return *this;
}

JSONObjectWriter& JSONObjectWriter::setUInt64(std::string_view key, std::uint64_t number) {
  insert(key, number);
  return *this;
}

JSONObjectWriter& JSONObjectWriter::setBool(std::string_view key, bool flag) {
  insert(key, flag);
  return *this;
}

JSONObjectWriter& JSONObjectWriter::setUUID(std::string_view key, const UUID& uuid) {
  insert(key, json::string(uuid.uuidString()));
  return *this;
}

JSONObjectWriter& JSONObjectWriter::setBytes(std::string_view key, ByteView bytes) {
  insert(key, json::string(base64Encoded(bytes)));
  return *this;
}

std::string JSONObjectWriter::serialized() const { return json::serialize(object_); }

void JSONObjectWriter::insert(std::string_view key, json::value value) {
  if (!unicode::isValidUTF8(key)) throw std::invalid_argument("JSON keys must be well-formed UTF-8");
  if (!object_.emplace(key, std::move(value)).second) throw std::invalid_argument("JSON key set twice");
}

}  // namespace platform::foundation

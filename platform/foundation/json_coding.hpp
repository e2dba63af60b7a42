#pragma once

// JSON coding of the system: one strict parser and small typed readers and writers over
// Boost.JSON, used by every decoder and encoder of the system.
//
// Decoding rules:
// - The text must be exactly one JSON value (RFC 8259): UTF-8 only, well-formed in every string
//   and key (no lone surrogate escapes), no byte order mark, nothing but white space after the
//   value, no comments, no trailing commas, at most 32 levels of nesting.
// - An object that has the same key twice is refused: readers of different JSON libraries disagree
//   on which of the two wins, so a document that means different things to two readers is never
//   taken.
// - A number whose value is not finite (1e400) is refused.
// - Keys are matched exactly and case-sensitively; keys that a decoder does not ask for are
//   ignored. Every key is required unless it is read with optional().
// - Integers are exact 64-bit values. A number with a fraction part of zero (34.0, 1e2) counts as
//   the integer; a fraction (3.5) or a value outside the type's range is dataCorrupted; a boolean
//   or a string is typeMismatch.
// - Booleans are only true and false. Strings are only JSON strings.
// - UUIDs are strings in the hyphenated form of UUID::fromString (either letter case); byte
//   strings are strings in strict padded standard Base64 (base64Decoded). A string that is neither
//   is dataCorrupted.
// - An array decodes only when every element decodes; a map (an object whose keys are free) only
//   when every value decodes, whatever its key.
//
// Every failure is a DecodingError (see decoding_error.hpp).

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/uuid.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform::foundation {

class JSONObjectReader;

// A type that decodes itself from a JSON object:
//   static T fromJSON(const platform::foundation::JSONObjectReader& reader);
template <typename T>
concept JSONObjectDecodable = requires(const JSONObjectReader& reader) {
  { T::fromJSON(reader) } -> std::same_as<T>;
};

// The strictly parsed document. Throws DecodingError::dataCorrupted with an empty coding path for
// any text that breaks the rules above.
//
// Numbers keep their exact value: a number whose text is an integer in [-2^63, 2^64), whatever
// its notation (42, 34.0, 1e2), is an int64 (or a uint64 above 2^63 - 1); every other number is a
// double. So 9007199254740993.0 stays that integer instead of its nearest double, and a double
// in the document is never an integer.
boost::json::value parseJSON(std::string_view text);
boost::json::value parseJSON(ByteView bytes);

namespace json_detail {

std::string keyPath(const std::string& path, std::string_view key);
std::string indexPath(const std::string& path, std::size_t index);

bool decodeBool(const boost::json::value& value, const std::string& path);
std::int64_t decodeInt64(const boost::json::value& value, const std::string& path);
std::uint64_t decodeUInt64(const boost::json::value& value, const std::string& path);
std::string decodeString(const boost::json::value& value, const std::string& path);
UUID decodeUUID(const boost::json::value& value, const std::string& path);
Bytes decodeBase64(const boost::json::value& value, const std::string& path);
const boost::json::object& expectObject(const boost::json::value& value, const std::string& path);
const boost::json::array& expectArray(const boost::json::value& value, const std::string& path);

template <typename T>
struct IsVector : std::false_type {};
template <typename Element>
struct IsVector<std::vector<Element>> : std::true_type {};

template <typename T>
struct IsStringMap : std::false_type {};
template <typename Mapped>
struct IsStringMap<std::map<std::string, Mapped>> : std::true_type {};

template <typename>
inline constexpr bool unsupported = false;

template <typename T>
T decodeValue(const boost::json::value& value, const std::string& path);

}  // namespace json_detail

// Typed access to the members of one JSON object. It refers to the object and does not own it:
// the parsed document must outlive the reader and every reader taken from it. The integer types
// read int64 and uint64 values only: a double is never taken for an integer, since parseJSON keeps
// every exact integer as one.
//
// The types that required<T> and optional<T> decode:
//   bool, std::int64_t, std::uint64_t, std::string, UUID, Bytes (Base64 text),
//   JSONObjectReader (a nested object), std::vector<E> (a JSON array),
//   std::map<std::string, E> (a JSON object used as a map), and every JSONObjectDecodable type,
// where E is again one of these types.
class JSONObjectReader {
public:
  // The top level of a parsed document, which must be an object.
  static JSONObjectReader root(const boost::json::value& document);

  JSONObjectReader(const boost::json::object& object, std::string codingPath);

  // The member's value. An absent key is keyNotFound, null is valueNotFound.
  template <typename T>
  T required(std::string_view key) const;

  // No value when the key is absent or its value is null; a value of the wrong type is still a
  // failure, never taken for absence.
  template <typename T>
  std::optional<T> optional(std::string_view key) const;

  const boost::json::object& object() const { return *object_; }
  const std::string& codingPath() const { return codingPath_; }

private:
  const boost::json::object* object_;
  std::string codingPath_;
};

// Parses the text and decodes its top-level value as T (one of the types listed above, but not a
// JSONObjectReader, which would outlive the document).
template <typename T>
T decodeJSON(std::string_view text) {
  static_assert(!std::is_same_v<T, JSONObjectReader>, "a reader cannot outlive its document");
  const auto document = parseJSON(text);
  return json_detail::decodeValue<T>(document, std::string());
}

template <typename T>
T decodeJSON(ByteView bytes) {
  return decodeJSON<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Builds one JSON object of the system's own JSON, keys in the order they are set, and writes it
// compactly: no white space; '"', '\' and the control characters U+0000 to U+001F escaped (\b,
// \t, \n, \f, \r, the others as \u00xx in lower-case hexadecimal); '/' and every other
// character written as it is, in UTF-8. Both forms of '/' ("/" and "\/") decode to the same text,
// so no reader depends on the choice. Integers are written as numbers, UUIDs as upper-case
// hyphenated text, byte strings as padded standard Base64.
//
// Setting a key twice, or a key or text that is not well-formed UTF-8, is a programming error:
// it throws std::invalid_argument, so the writer never produces JSON that its own decoder refuses.
class JSONObjectWriter {
public:
  JSONObjectWriter& setString(std::string_view key, std::string_view text);
  JSONObjectWriter& setInt64(std::string_view key, std::int64_t number);
  JSONObjectWriter& setUInt64(std::string_view key, std::uint64_t number);
  JSONObjectWriter& setBool(std::string_view key, bool flag);
  JSONObjectWriter& setUUID(std::string_view key, const UUID& uuid);
  JSONObjectWriter& setBytes(std::string_view key, ByteView bytes);

  std::string serialized() const;

  const boost::json::object& object() const { return object_; }

private:
  void insert(std::string_view key, boost::json::value value);

  boost::json::object object_;
};

// Implementation of the templates.

template <typename T>
T json_detail::decodeValue(const boost::json::value& value, const std::string& path) {
  if constexpr (std::is_same_v<T, bool>) {
    return decodeBool(value, path);
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return decodeInt64(value, path);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return decodeUInt64(value, path);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return decodeString(value, path);
  } else if constexpr (std::is_same_v<T, UUID>) {
    return decodeUUID(value, path);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    return decodeBase64(value, path);
  } else if constexpr (std::is_same_v<T, JSONObjectReader>) {
    return JSONObjectReader(expectObject(value, path), path);
  } else if constexpr (IsVector<T>::value) {
    const auto& array = expectArray(value, path);
    T elements;
    elements.reserve(array.size());
    for (std::size_t index = 0; index < array.size(); ++index) {
      elements.push_back(decodeValue<typename T::value_type>(array[index], indexPath(path, index)));
    }
    return elements;
  } else if constexpr (IsStringMap<T>::value) {
    const auto& object = expectObject(value, path);
    T entries;
    for (const auto& member : object) {
      const std::string_view key(member.key().data(), member.key().size());
      entries.emplace(std::string(key), decodeValue<typename T::mapped_type>(member.value(), keyPath(path, key)));
    }
    return entries;
  } else if constexpr (JSONObjectDecodable<T>) {
    return T::fromJSON(JSONObjectReader(expectObject(value, path), path));
  } else {
    static_assert(unsupported<T>, "no JSON decoding for this type");
  }
}

template <typename T>
T JSONObjectReader::required(std::string_view key) const {
  auto path = json_detail::keyPath(codingPath_, key);
  const auto* member = object_->if_contains(key);
  if (member == nullptr) throw DecodingError::keyNotFound(std::move(path), "No value associated with the key.");
  return json_detail::decodeValue<T>(*member, path);
}

template <typename T>
std::optional<T> JSONObjectReader::optional(std::string_view key) const {
  const auto* member = object_->if_contains(key);
  if (member == nullptr || member->is_null()) return std::nullopt;
  return json_detail::decodeValue<T>(*member, json_detail::keyPath(codingPath_, key));
}

}  // namespace platform::foundation

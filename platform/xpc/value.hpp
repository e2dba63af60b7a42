#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::xpc {

// The kinds a message may carry; nothing else crosses a connection. The raw values are the tags
// on the wire and never change.
enum class Kind : std::uint8_t {
  boolean = 1,
  int64 = 2,
  string = 3,  // valid UTF-8 only
  bytes = 4,
  optionalBytes = 5,
  endpoint = 6,
  optionalEndpoint = 7,
};

// Where an anonymous listener can be reached: the path of its socket. A peer can forge the text, so
// a decoded endpoint has been checked to lie directly in the user's runtime directory.
struct Endpoint {
  std::string socketPath;

  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// std::monostate is the absent value of an optional kind.
using Value = std::variant<std::monostate, bool, std::int64_t, std::string, Bytes, Endpoint>;
using Values = std::vector<Value>;

bool valueHasKind(const Value& value, Kind kind);
bool valuesHaveKinds(const Values& values, const std::vector<Kind>& kinds);

// One method of an interface: the selector names it, the reply kinds are those its reply carries.
struct Method {
  std::string selector;
  std::vector<Kind> arguments;
  std::vector<Kind> reply;

  friend bool operator==(const Method&, const Method&) = default;
};

struct Interface {
  std::vector<Method> methods;

  // The method of that selector, or null.
  const Method* method(std::string_view selector) const;

  friend bool operator==(const Interface&, const Interface&) = default;
};

}  // namespace platform::xpc

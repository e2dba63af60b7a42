#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net {

// One header line, name and value as written. Names compare case-insensitively wherever the
// protocol says so; the list keeps the order and the duplicates of the wire.
struct HeaderField {
  std::string name;
  std::string value;

  friend bool operator==(const HeaderField&, const HeaderField&) = default;
};

using HeaderFields = std::vector<HeaderField>;

// True when the two header names are equal ignoring ASCII case.
bool headerNameEquals(std::string_view a, std::string_view b);

// The value of the first field of that name, if any.
std::optional<std::string> headerValue(const HeaderFields& fields, std::string_view name);

// Replaces every field of that name by one field with the value, at the place of the first one
// (at the end when there was none).
void setHeaderValue(HeaderFields& fields, std::string_view name, std::string value);

}  // namespace platform::net

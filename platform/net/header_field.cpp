#include "platform/net/header_field.hpp"

#include <algorithm>

namespace platform::net {

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool headerNameEquals(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::optional<std::string> headerValue(const HeaderFields& fields, std::string_view name) {
  const auto found =
      std::ranges::find_if(fields, [&](const HeaderField& field) { return headerNameEquals(field.name, name); });
  if (found == fields.end()) {
    return std::nullopt;
  }
  return found->value;
}

void setHeaderValue(HeaderFields& fields, std::string_view name, std::string value) {
  const auto first =
      std::ranges::find_if(fields, [&](const HeaderField& field) { return headerNameEquals(field.name, name); });
  if (first == fields.end()) {
    fields.push_back(HeaderField{std::string(name), std::move(value)});
    return;
  }
  first->value = std::move(value);
  const auto later = std::remove_if(std::next(first), fields.end(),
                                    [&](const HeaderField& field) { return headerNameEquals(field.name, name); });
  fields.erase(later, fields.end());
}

}  // namespace platform::net

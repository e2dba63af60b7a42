#include "platform/xpc/value.hpp"

#include <algorithm>

namespace platform::xpc {

bool valueHasKind(const Value& value, Kind kind) {
  switch (kind) {
    case Kind::boolean: return std::holds_alternative<bool>(value);
    case Kind::int64: return std::holds_alternative<std::int64_t>(value);
    case Kind::string: return std::holds_alternative<std::string>(value);
    case Kind::bytes: return std::holds_alternative<Bytes>(value);
    case Kind::optionalBytes:
      return std::holds_alternative<Bytes>(value) || std::holds_alternative<std::monostate>(value);
    case Kind::endpoint: return std::holds_alternative<Endpoint>(value);
    case Kind::optionalEndpoint:
      return std::holds_alternative<Endpoint>(value) || std::holds_alternative<std::monostate>(value);
  }
  return false;
}

bool valuesHaveKinds(const Values& values, const std::vector<Kind>& kinds) {
  return values.size() == kinds.size() &&
         std::equal(values.begin(), values.end(), kinds.begin(), [](const Value& value, Kind kind) {
           return valueHasKind(value, kind);
         });
}

const Method* Interface::method(std::string_view selector) const {
  const auto found = std::find_if(methods.begin(), methods.end(),
                                  [&](const Method& candidate) { return candidate.selector == selector; });
  return found == methods.end() ? nullptr : &*found;
}

}  // namespace platform::xpc

#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

// A 128-bit universally unique identifier. Text form: upper-case, hyphenated (8-4-4-4-12).
class UUID {
public:
  using Storage = std::array<std::uint8_t, 16>;

  // A random (version 4) identifier from the secure random source. The generation and request
  // identifiers of the system guard against replay, so there is no weak fallback: if the secure
  // source fails, the process aborts.
  static UUID random();

  // Parses the hyphenated text form, in either letter case; anything else gives no identifier.
  static std::optional<UUID> fromString(std::string_view text);

  constexpr explicit UUID(const Storage& bytes) : bytes_(bytes) {}

  const Storage& bytes() const { return bytes_; }
  std::string uuidString() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

private:
  Storage bytes_;
};

}  // namespace platform::foundation

template <>
struct std::hash<platform::foundation::UUID> {
  std::size_t operator()(const platform::foundation::UUID& uuid) const noexcept;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace corvanta {

// The usage the service books a signature under.
class SigningUsage {
public:
  enum class Case : std::uint8_t { clientAuthentication, documentSigning };

  static const SigningUsage clientAuthentication;
  static const SigningUsage documentSigning;

  // Exact match of "client_authentication" or "document_signing".
  static std::optional<SigningUsage> fromRawValue(std::string_view rawValue);

  constexpr Case value() const { return case_; }
  std::string_view rawValue() const;

  friend constexpr bool operator==(SigningUsage, SigningUsage) = default;

private:
  constexpr explicit SigningUsage(Case usage) : case_(usage) {}
  Case case_;
};

inline constexpr SigningUsage SigningUsage::clientAuthentication{Case::clientAuthentication};
inline constexpr SigningUsage SigningUsage::documentSigning{Case::documentSigning};

}  // namespace corvanta

template <>
struct std::hash<corvanta::SigningUsage> {
  std::size_t operator()(corvanta::SigningUsage usage) const noexcept {
    return std::hash<std::string_view>{}(usage.rawValue());
  }
};

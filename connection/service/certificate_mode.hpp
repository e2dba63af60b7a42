#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace corvanta {

// Which certificate of a role serves client authentication.
class CertificateMode {
public:
  enum class Case : std::uint8_t {
    // "best_effort": the document-signing certificate stands in when there is no
    // client-authentication certificate.
    bestEffort,
    // "mandatory": only a client-authentication certificate serves.
    mandatory,
  };

  static const CertificateMode bestEffort;
  static const CertificateMode mandatory;

  // Exactly "best_effort" or "mandatory", case-sensitive.
  static std::optional<CertificateMode> fromRawValue(std::string_view rawValue);

  constexpr Case value() const { return case_; }
  std::string_view rawValue() const;

  friend constexpr bool operator==(CertificateMode, CertificateMode) = default;

private:
  constexpr explicit CertificateMode(Case mode) : case_(mode) {}
  Case case_;
};

inline constexpr CertificateMode CertificateMode::bestEffort{Case::bestEffort};
inline constexpr CertificateMode CertificateMode::mandatory{Case::mandatory};

}  // namespace corvanta

template <>
struct std::hash<corvanta::CertificateMode> {
  std::size_t operator()(corvanta::CertificateMode mode) const noexcept {
    return std::hash<std::string_view>{}(mode.rawValue());
  }
};

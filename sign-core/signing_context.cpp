#include "sign-core/signing_context.hpp"

#include "platform/foundation/unicode.hpp"
#include "sign-core/signing_error.hpp"

#include <boost/url/parse.hpp>

#include <cstddef>
#include <string_view>
#include <utility>

namespace corvanta {
namespace {

bool equalsIgnoringASCIICase(std::string_view text, std::string_view lowercase) {
  if (text.size() != lowercase.size()) return false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    char c = text[index];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowercase[index]) return false;
  }
  return true;
}

bool isServiceOrigin(std::string_view text) {
  const auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return false;
  const auto& url = *parsed;
  if (!url.has_scheme() || !equalsIgnoringASCIICase(url.scheme(), "https")) return false;
  if (!url.has_authority() || url.encoded_host().empty()) return false;
  // An empty user, password, query or fragment is still there: "https://@h", "https://h?" and
  // "https://h#" are all refused.
  if (url.has_userinfo() || url.has_query() || url.has_fragment()) return false;
  const auto path = url.encoded_path();
  return path.empty() || path == "/";
}

bool isBlank(std::string_view text) {
  return platform::foundation::unicode::trimmingWhitespacesAndNewlines(text).empty();
}

}  // namespace

SigningContext::SigningContext(std::string backendOrigin, std::string accountID, std::string roleID,
                               std::string credentialID, platform::Bytes certificateSHA256,
                               VerificationKey verificationKey)
    : backendOrigin_(std::move(backendOrigin)),
      accountID_(std::move(accountID)),
      roleID_(std::move(roleID)),
      credentialID_(std::move(credentialID)),
      certificateSHA256_(std::move(certificateSHA256)),
      verificationKey_(std::move(verificationKey)) {
  if (!isServiceOrigin(backendOrigin_) || isBlank(accountID_) || isBlank(roleID_) || isBlank(credentialID_) ||
      certificateSHA256_.size() != certificateSHA256ByteCount) {
    throw SigningError::invalidContext;
  }
}

}  // namespace corvanta

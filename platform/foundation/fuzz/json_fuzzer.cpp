#include "platform/foundation/base64.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/unicode.hpp"

#include <boost/json/serialize.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace foundation = platform::foundation;

// Every typed read of a value either gives a value or throws DecodingError; nothing else escapes.
template <typename T>
void tryRead(const foundation::JSONObjectReader& reader, std::string_view key) {
  try {
    (void)reader.required<T>(key);
  } catch (const foundation::DecodingError&) {
  }
  try {
    (void)reader.optional<T>(key);
  } catch (const foundation::DecodingError&) {
  }
}

void readEveryMember(const boost::json::value& value) {
  if (value.is_array()) {
    for (const auto& element : value.get_array()) readEveryMember(element);
    return;
  }
  if (!value.is_object()) return;
  const foundation::JSONObjectReader reader(value.get_object(), "fuzz");
  for (const auto& member : value.get_object()) {
    const std::string_view key(member.key().data(), member.key().size());
    tryRead<bool>(reader, key);
    tryRead<std::int64_t>(reader, key);
    tryRead<std::uint64_t>(reader, key);
    tryRead<std::string>(reader, key);
    tryRead<foundation::UUID>(reader, key);
    tryRead<platform::Bytes>(reader, key);
    tryRead<std::vector<std::int64_t>>(reader, key);
    tryRead<std::map<std::string, std::string>>(reader, key);
    readEveryMember(member.value());
  }
  tryRead<std::string>(reader, "absent");
}

void checkBase64(std::string_view text) {
  const auto bytes = foundation::base64Decoded(text);
  if (!bytes) return;
  // Only the canonical text of some bytes is accepted.
  if (foundation::base64Encoded(*bytes) != text) std::abort();
  std::string url = foundation::base64URLEncoded(*bytes);
  for (char& c : url) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  while (url.size() % 4 != 0) url.push_back('=');
  if (url != text) std::abort();
}

void checkJSON(std::string_view text) {
  boost::json::value document;
  try {
    document = foundation::parseJSON(text);
  } catch (const foundation::DecodingError& error) {
    if (error.errorCase() != foundation::DecodingError::Case::dataCorrupted || !error.codingPath().empty()) std::abort();
    return;
  }
  // Only UTF-8 documents are accepted.
  if (!foundation::unicode::isValidUTF8(text)) std::abort();
  readEveryMember(document);

  // What is written again must parse again; a second round changes nothing. (The first round may
  // turn a double that rounded to an integer value into that integer.)
  const auto once = foundation::parseJSON(boost::json::serialize(document));
  const auto twice = foundation::parseJSON(boost::json::serialize(once));
  if (once != twice) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkBase64(text);
  checkJSON(text);
  return 0;
}

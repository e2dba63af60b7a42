#pragma once

// Building the service's JSON answers member by member, so that a table row can drop, replace or
// repeat one member, and checking which error a decoder refuses an answer with.

#include "connection/transport/connection_error.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/decoding_error.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvanta::testing {

// A JSON string holding the text.
inline std::string jsonString(std::string_view text) { return boost::json::serialize(boost::json::string(text)); }

// A JSON object whose member values are raw JSON texts, written in the order given.
class JSONMembers {
public:
  JSONMembers(std::initializer_list<std::pair<std::string, std::string>> members) : members_(members) {}

  // The member's value replaced, or the member added at the end.
  JSONMembers with(const std::string& key, std::string rawValue) const {
    auto copy = *this;
    const auto found = std::find_if(copy.members_.begin(), copy.members_.end(),
                                    [&](const auto& member) { return member.first == key; });
    if (found == copy.members_.end()) {
      copy.members_.emplace_back(key, std::move(rawValue));
    } else {
      found->second = std::move(rawValue);
    }
    return copy;
  }

  // The member added once more at the end, also when it is there already.
  JSONMembers repeating(const std::string& key, std::string rawValue) const {
    auto copy = *this;
    copy.members_.emplace_back(key, std::move(rawValue));
    return copy;
  }

  JSONMembers without(std::string_view key) const {
    auto copy = *this;
    std::erase_if(copy.members_, [&](const auto& member) { return member.first == key; });
    return copy;
  }

  std::string text() const {
    std::string result = "{";
    for (const auto& [key, value] : members_) {
      if (result.size() > 1) result += ",";
      result += jsonString(key) + ":" + value;
    }
    return result + "}";
  }

  operator std::string() const { return text(); }

private:
  std::vector<std::pair<std::string, std::string>> members_;
};

inline std::string jsonArray(const std::vector<std::string>& rawElements) {
  std::string result = "[";
  for (const auto& element : rawElements) {
    if (result.size() > 1) result += ",";
    result += element;
  }
  return result + "]";
}

// The REST API's wrapper around a payload.
inline JSONMembers envelope(std::string data, std::string success = "1") {
  return JSONMembers{{"success", std::move(success)}, {"data", std::move(data)}};
}

// The error a decoder must refuse an answer with. A DecodingError is compared by case and coding
// path, so the expected one is built with an empty debug description.
using Refusal = std::variant<platform::foundation::DecodingError, ConnectionError>;

inline platform::foundation::DecodingError keyNotFound(std::string path) {
  return platform::foundation::DecodingError::keyNotFound(std::move(path), {});
}
inline platform::foundation::DecodingError valueNotFound(std::string path) {
  return platform::foundation::DecodingError::valueNotFound(std::move(path), {});
}
inline platform::foundation::DecodingError typeMismatch(std::string path) {
  return platform::foundation::DecodingError::typeMismatch(std::move(path), {});
}
inline platform::foundation::DecodingError dataCorrupted(std::string path = {}) {
  return platform::foundation::DecodingError::dataCorrupted(std::move(path), {});
}

template <typename Decode>
void expectRefusal(Decode&& decode, const Refusal& expected, std::string_view name) {
  try {
    decode();
    ADD_FAILURE() << name << ": was accepted";
  } catch (const platform::foundation::DecodingError& error) {
    if (const auto* wanted = std::get_if<platform::foundation::DecodingError>(&expected)) {
      EXPECT_EQ(error, *wanted) << name << ": " << error.what() << ", wanted " << wanted->what();
    } else {
      ADD_FAILURE() << name << ": " << error.what() << ", wanted " << std::get<ConnectionError>(expected).what();
    }
  } catch (const ConnectionError& error) {
    if (const auto* wanted = std::get_if<ConnectionError>(&expected)) {
      EXPECT_EQ(error, *wanted) << name << ": " << error.what() << ", wanted " << wanted->what();
    } else {
      ADD_FAILURE() << name << ": " << error.what() << ", wanted "
                    << std::get<platform::foundation::DecodingError>(expected).what();
    }
  }
}

// A row of a table of refused answers.
struct RefusalRow {
  std::string name;
  std::string json;
  Refusal refusal;
};

// Each row's answer, given to `decode`, is refused with the row's error.
template <typename Decode>
void expectRefusals(Decode&& decode, const std::vector<RefusalRow>& rows) {
  for (const auto& row : rows) {
    expectRefusal([&] { decode(row.json); }, row.refusal, row.name);
  }
}

inline platform::Bytes body(const std::string& text) { return platform::bytesOf(text); }

}  // namespace corvanta::testing

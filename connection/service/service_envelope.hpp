#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/json_coding.hpp"

#include <cstdint>
#include <utility>

namespace corvanta {

// The wrapper in which the service's REST API answers: {"success": <integer>, "data": <payload>}.
// Internal to the connection library. Any integer decodes as "success" (a boolean does not); each
// answer's decoder then demands that it is 1, so that a refusal and a malformed answer stay apart.
template <typename Payload>
class Envelope {
public:
  Envelope(std::int64_t success, Payload data) : success_(success), data_(std::move(data)) {}

  // Throws the DecodingError of the JSON coding unchanged.
  static Envelope decode(platform::ByteView body) { return platform::foundation::decodeJSON<Envelope>(body); }

  static Envelope fromJSON(const platform::foundation::JSONObjectReader& reader) {
    auto success = reader.required<std::int64_t>("success");
    return Envelope(success, reader.required<Payload>("data"));
  }

  std::int64_t success() const { return success_; }
  const Payload& data() const& { return data_; }
  Payload data() && { return std::move(data_); }

private:
  std::int64_t success_;
  Payload data_;
};

}  // namespace corvanta

#include "platform/xpc/frame.hpp"

#include "platform/foundation/unicode.hpp"

#include <sys/un.h>

#include <algorithm>
#include <limits>

namespace platform::xpc {
namespace {

constexpr std::size_t maxSelectorBytes = 255;
constexpr std::size_t maxValueCount = 255;

bool isSelectorText(std::string_view selector) {
  return !selector.empty() && selector.size() <= maxSelectorBytes &&
         std::all_of(selector.begin(), selector.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool isKnownKind(std::uint8_t tag) {
  return tag >= static_cast<std::uint8_t>(Kind::boolean) && tag <= static_cast<std::uint8_t>(Kind::optionalEndpoint);
}

class Reader {
public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  bool atEnd() const { return position_ == bytes_.size(); }

  std::optional<std::uint64_t> integer(std::size_t width) {
    if (bytes_.size() - position_ < width) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[position_++];
    return value;
  }

  std::optional<ByteView> take(std::size_t count) {
    if (bytes_.size() - position_ < count) return std::nullopt;
    const ByteView taken = bytes_.subspan(position_, count);
    position_ += count;
    return taken;
  }

  std::optional<ByteView> sized(std::size_t lengthWidth) {
    const auto length = integer(lengthWidth);
    if (!length) return std::nullopt;
    return take(static_cast<std::size_t>(*length));
  }

private:
  ByteView bytes_;
  std::size_t position_ = 0;
};

std::string textOf(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

// The presence flag of an optional kind: exactly 0 or 1.
std::optional<bool> readFlag(Reader& reader) {
  const auto flag = reader.integer(1);
  if (!flag || *flag > 1) return std::nullopt;
  return *flag == 1;
}

std::optional<Value> readEndpoint(Reader& reader, std::string_view runtimeDirectory) {
  const auto path = reader.sized(2);
  if (!path) return std::nullopt;
  std::string text = textOf(*path);
  if (!isSocketPathIn(text, runtimeDirectory)) return std::nullopt;
  return Endpoint{std::move(text)};
}

std::optional<Value> readValue(Reader& reader, Kind kind, std::string_view runtimeDirectory) {
  switch (kind) {
    case Kind::boolean: {
      const auto flag = readFlag(reader);
      if (!flag) return std::nullopt;
      return Value{*flag};
    }
    case Kind::int64: {
      const auto raw = reader.integer(8);
      if (!raw) return std::nullopt;
      return Value{static_cast<std::int64_t>(*raw)};
    }
    case Kind::string: {
      const auto text = reader.sized(4);
      if (!text) return std::nullopt;
      std::string string = textOf(*text);
      if (!foundation::unicode::isValidUTF8(string)) return std::nullopt;
      return Value{std::move(string)};
    }
    case Kind::bytes: {
      const auto bytes = reader.sized(4);
      if (!bytes) return std::nullopt;
      return Value{Bytes(bytes->begin(), bytes->end())};
    }
    case Kind::optionalBytes: {
      const auto present = readFlag(reader);
      if (!present) return std::nullopt;
      if (!*present) return Value{std::monostate{}};
      return readValue(reader, Kind::bytes, runtimeDirectory);
    }
    case Kind::endpoint: return readEndpoint(reader, runtimeDirectory);
    case Kind::optionalEndpoint: {
      const auto present = readFlag(reader);
      if (!present) return std::nullopt;
      if (!*present) return Value{std::monostate{}};
      return readEndpoint(reader, runtimeDirectory);
    }
  }
  return std::nullopt;
}

bool readValues(Reader& reader, Frame& frame, std::string_view runtimeDirectory) {
  const auto count = reader.integer(1);
  if (!count) return false;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto tag = reader.integer(1);
    if (!tag || !isKnownKind(static_cast<std::uint8_t>(*tag))) return false;
    const auto kind = static_cast<Kind>(*tag);
    auto value = readValue(reader, kind, runtimeDirectory);
    if (!value) return false;
    frame.kinds.push_back(kind);
    frame.values.push_back(std::move(*value));
  }
  return true;
}

class Writer {
public:
  void integer(std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i > 0; --i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
  }

  template <typename Range>
  bool sized(const Range& range, std::size_t lengthWidth) {
    const std::uint64_t limit = lengthWidth >= 8 ? std::numeric_limits<std::uint64_t>::max()
                                                 : (std::uint64_t{1} << (8 * lengthWidth)) - 1;
    if (range.size() > maxFrameBytes || range.size() > limit) return false;
    integer(range.size(), lengthWidth);
    bytes_.insert(bytes_.end(), range.begin(), range.end());
    return true;
  }

  Bytes& bytes() { return bytes_; }

private:
  Bytes bytes_;
};

bool writePlain(Writer& writer, Kind kind, const Value& value) {
  switch (kind) {
    case Kind::boolean: writer.integer(std::get<bool>(value) ? 1 : 0, 1); return true;
    case Kind::int64: writer.integer(static_cast<std::uint64_t>(std::get<std::int64_t>(value)), 8); return true;
    case Kind::string: {
      const auto& text = std::get<std::string>(value);
      return foundation::unicode::isValidUTF8(text) && writer.sized(text, 4);
    }
    case Kind::bytes:
    case Kind::optionalBytes: return writer.sized(std::get<Bytes>(value), 4);
    case Kind::endpoint:
    case Kind::optionalEndpoint: return writer.sized(std::get<Endpoint>(value).socketPath, 2);
  }
  return false;
}

bool writeValue(Writer& writer, Kind kind, const Value& value) {
  if (!valueHasKind(value, kind)) return false;
  writer.integer(static_cast<std::uint8_t>(kind), 1);
  if (kind == Kind::optionalBytes || kind == Kind::optionalEndpoint) {
    const bool present = !std::holds_alternative<std::monostate>(value);
    writer.integer(present ? 1 : 0, 1);
    if (!present) return true;
  }
  return writePlain(writer, kind, value);
}

}  // namespace

bool fitsSocketAddress(std::string_view path) {
  return path.size() < sizeof(sockaddr_un{}.sun_path) && path.find('\0') == std::string_view::npos;
}

bool isSocketPathIn(std::string_view path, std::string_view directory) {
  if (directory.empty() || directory.front() != '/' || !fitsSocketAddress(path)) return false;
  if (path.size() <= directory.size() + 1 || path.substr(0, directory.size()) != directory ||
      path[directory.size()] != '/') {
    return false;
  }
  const std::string_view name = path.substr(directory.size() + 1);
  return name.find('/') == std::string_view::npos && name != "." && name != "..";
}

std::optional<std::size_t> frameBodyLength(const std::array<std::uint8_t, frameHeaderBytes>& header) {
  std::size_t length = 0;
  for (const std::uint8_t byte : header) length = (length << 8) | byte;
  if (length == 0 || length > maxFrameBodyBytes) return std::nullopt;
  return length;
}

std::optional<Frame> decodeFrameBody(ByteView body, std::string_view runtimeDirectory) {
  if (body.size() > maxFrameBodyBytes) return std::nullopt;
  Reader reader(body);
  const auto type = reader.integer(1);
  const auto id = reader.integer(8);
  if (!type || !id) return std::nullopt;
  Frame frame;
  frame.id = *id;
  switch (*type) {
    case static_cast<std::uint8_t>(FrameType::call): {
      frame.type = FrameType::call;
      const auto selector = reader.sized(1);
      if (!selector) return std::nullopt;
      frame.selector = textOf(*selector);
      if (!isSelectorText(frame.selector) || !readValues(reader, frame, runtimeDirectory)) return std::nullopt;
      break;
    }
    case static_cast<std::uint8_t>(FrameType::reply):
      frame.type = FrameType::reply;
      if (!readValues(reader, frame, runtimeDirectory)) return std::nullopt;
      break;
    case static_cast<std::uint8_t>(FrameType::noReply): frame.type = FrameType::noReply; break;
    default: return std::nullopt;
  }
  if (!reader.atEnd()) return std::nullopt;
  return frame;
}

std::optional<Bytes> encodeFrame(const Frame& frame) {
  if (frame.kinds.size() != frame.values.size() || frame.values.size() > maxValueCount) return std::nullopt;
  Writer writer;
  writer.integer(0, frameHeaderBytes);
  writer.integer(static_cast<std::uint8_t>(frame.type), 1);
  writer.integer(frame.id, 8);
  if (frame.type == FrameType::call) {
    if (!isSelectorText(frame.selector)) return std::nullopt;
    writer.sized(frame.selector, 1);
  }
  if (frame.type != FrameType::noReply) {
    writer.integer(frame.values.size(), 1);
    for (std::size_t i = 0; i < frame.values.size(); ++i) {
      if (!writeValue(writer, frame.kinds[i], frame.values[i])) return std::nullopt;
      if (writer.bytes().size() > maxFrameBytes) return std::nullopt;
    }
  } else if (!frame.values.empty()) {
    return std::nullopt;
  }
  Bytes& bytes = writer.bytes();
  if (bytes.size() > maxFrameBytes) return std::nullopt;
  const std::size_t bodyLength = bytes.size() - frameHeaderBytes;
  for (std::size_t i = 0; i < frameHeaderBytes; ++i) {
    bytes[i] = static_cast<std::uint8_t>(bodyLength >> (8 * (frameHeaderBytes - 1 - i)));
  }
  return std::move(bytes);
}

}  // namespace platform::xpc

#include "platform/xpc/frame.hpp"

#include "platform/foundation/binary_fields.hpp"
#include "platform/foundation/unicode.hpp"

#include <sys/un.h>

#include <algorithm>

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

using foundation::LengthPrefix;
using Reader = foundation::BinaryFieldReader;
using Writer = foundation::BinaryFieldWriter;
static_assert(frameHeaderBytes == static_cast<std::size_t>(LengthPrefix::fourBytes));

std::string textOf(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

std::optional<Value> readEndpoint(Reader& reader, std::string_view runtimeDirectory) {
  const auto path = reader.field(LengthPrefix::twoBytes);
  if (!path) return std::nullopt;
  std::string text = textOf(*path);
  if (!isSocketPathIn(text, runtimeDirectory)) return std::nullopt;
  return Endpoint{std::move(text)};
}

std::optional<Value> readValue(Reader& reader, Kind kind, std::string_view runtimeDirectory) {
  switch (kind) {
    case Kind::boolean: {
      const auto flag = reader.flag();
      if (!flag) return std::nullopt;
      return Value{*flag};
    }
    case Kind::int64: {
      const auto raw = reader.u64();
      if (!raw) return std::nullopt;
      return Value{static_cast<std::int64_t>(*raw)};
    }
    case Kind::string: {
      const auto text = reader.field(LengthPrefix::fourBytes);
      if (!text) return std::nullopt;
      std::string string = textOf(*text);
      if (!foundation::unicode::isValidUTF8(string)) return std::nullopt;
      return Value{std::move(string)};
    }
    case Kind::bytes: {
      const auto bytes = reader.field(LengthPrefix::fourBytes);
      if (!bytes) return std::nullopt;
      return Value{Bytes(bytes->begin(), bytes->end())};
    }
    case Kind::optionalBytes: {
      const auto present = reader.flag();
      if (!present) return std::nullopt;
      if (!*present) return Value{std::monostate{}};
      return readValue(reader, Kind::bytes, runtimeDirectory);
    }
    case Kind::endpoint: return readEndpoint(reader, runtimeDirectory);
    case Kind::optionalEndpoint: {
      const auto present = reader.flag();
      if (!present) return std::nullopt;
      if (!*present) return Value{std::monostate{}};
      return readEndpoint(reader, runtimeDirectory);
    }
  }
  return std::nullopt;
}

bool readValues(Reader& reader, Frame& frame, std::string_view runtimeDirectory) {
  const auto count = reader.u8();
  if (!count) return false;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto tag = reader.u8();
    if (!tag || !isKnownKind(static_cast<std::uint8_t>(*tag))) return false;
    const auto kind = static_cast<Kind>(*tag);
    auto value = readValue(reader, kind, runtimeDirectory);
    if (!value) return false;
    frame.kinds.push_back(kind);
    frame.values.push_back(std::move(*value));
  }
  return true;
}

// Writes a field and says whether it fit.
template <typename Data>
bool writeField(Writer& writer, const Data& data, LengthPrefix prefix) {
  writer.field(data, prefix);
  return !writer.failed();
}

bool writePlain(Writer& writer, Kind kind, const Value& value) {
  switch (kind) {
    case Kind::boolean: writer.flag(std::get<bool>(value)); return true;
    case Kind::int64: writer.u64(static_cast<std::uint64_t>(std::get<std::int64_t>(value))); return true;
    case Kind::string: {
      const auto& text = std::get<std::string>(value);
      return foundation::unicode::isValidUTF8(text) && writeField(writer, std::string_view(text), LengthPrefix::fourBytes);
    }
    case Kind::bytes:
    case Kind::optionalBytes: return writeField(writer, ByteView(std::get<Bytes>(value)), LengthPrefix::fourBytes);
    case Kind::endpoint:
    case Kind::optionalEndpoint: return writeField(writer, std::string_view(std::get<Endpoint>(value).socketPath), LengthPrefix::twoBytes);
  }
  return false;
}

bool writeValue(Writer& writer, Kind kind, const Value& value) {
  if (!valueHasKind(value, kind)) return false;
  writer.u8(static_cast<std::uint8_t>(kind));
  if (kind == Kind::optionalBytes || kind == Kind::optionalEndpoint) {
    const bool present = !std::holds_alternative<std::monostate>(value);
    writer.flag(present);
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
  const auto type = reader.u8();
  const auto id = reader.u64();
  if (!type || !id) return std::nullopt;
  Frame frame;
  frame.id = *id;
  switch (*type) {
    case static_cast<std::uint8_t>(FrameType::call): {
      frame.type = FrameType::call;
      const auto selector = reader.field(LengthPrefix::oneByte);
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
  Writer writer(maxFrameBytes);
  const auto header = writer.lengthPlaceholder(LengthPrefix::fourBytes);
  writer.u8(static_cast<std::uint8_t>(frame.type));
  writer.u64(frame.id);
  if (frame.type == FrameType::call) {
    if (!isSelectorText(frame.selector)) return std::nullopt;
    writer.field(std::string_view(frame.selector), LengthPrefix::oneByte);
  }
  if (frame.type != FrameType::noReply) {
    writer.u8(static_cast<std::uint8_t>(frame.values.size()));
    for (std::size_t i = 0; i < frame.values.size(); ++i) {
      if (!writeValue(writer, frame.kinds[i], frame.values[i])) return std::nullopt;
      if (writer.size() > maxFrameBytes) return std::nullopt;
    }
  } else if (!frame.values.empty()) {
    return std::nullopt;
  }
  if (writer.size() > maxFrameBytes) return std::nullopt;
  writer.fillLength(header, LengthPrefix::fourBytes);
  return std::move(writer).finished();
}

}  // namespace platform::xpc

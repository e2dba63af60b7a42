#include "platform/tokenkit/prompt/assuan_response.hpp"

#include "platform/security/secret_memory.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace platform::tokenkit {
namespace {

struct Keyword {
  std::string_view text;
  AssuanResponse::Kind kind;
};

constexpr Keyword keywords[] = {
    {"OK", AssuanResponse::Kind::ok},         {"ERR", AssuanResponse::Kind::error},
    {"D", AssuanResponse::Kind::data},        {"S", AssuanResponse::Kind::status},
    {"INQUIRE", AssuanResponse::Kind::inquire},
};

// "ERR" is followed by the error number, then by nothing or a space and the text.
std::optional<std::uint32_t> errorNumber(std::string_view argument) {
  const auto digits = argument.substr(0, argument.find(' '));
  std::uint32_t number = 0;
  const auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || rest != digits.data() + digits.size()) return std::nullopt;
  return number;
}

}  // namespace

std::optional<AssuanResponse> parseAssuanResponse(std::string_view line) {
  if (line.empty() || line.find('\r') != std::string_view::npos || line.find('\n') != std::string_view::npos) {
    return std::nullopt;
  }
  if (line.front() == '#') return AssuanResponse{AssuanResponse::Kind::comment, line.substr(1)};

  const auto space = line.find(' ');
  const auto word = line.substr(0, space);
  const auto argument = space == std::string_view::npos ? line.substr(line.size()) : line.substr(space + 1);
  const auto keyword = std::find_if(std::begin(keywords), std::end(keywords),
                                    [&](const Keyword& candidate) { return candidate.text == word; });
  if (keyword == std::end(keywords)) return std::nullopt;

  AssuanResponse response{keyword->kind, argument};
  switch (keyword->kind) {
    case AssuanResponse::Kind::data:
      // Data, even none, comes after the space.
      if (space == std::string_view::npos) return std::nullopt;
      break;
    case AssuanResponse::Kind::error: {
      const auto number = errorNumber(argument);
      if (!number) return std::nullopt;
      response.errorCode = *number;
      break;
    }
    case AssuanResponse::Kind::status:
    case AssuanResponse::Kind::inquire:
      if (argument.empty()) return std::nullopt;
      break;
    case AssuanResponse::Kind::ok:
    case AssuanResponse::Kind::comment:
      break;
  }
  return response;
}

AssuanLineBuffer::AssuanLineBuffer() : storage_(assuanLineLimit, '\0') {}

AssuanLineBuffer::~AssuanLineBuffer() { security::wipeSecret(storage_); }

AssuanLineBuffer::Next AssuanLineBuffer::next(std::string_view& line) {
  const auto* first = storage_.data() + begin_;
  const auto* last = storage_.data() + end_;
  const auto* lineEnd = std::find(first, last, '\n');
  if (lineEnd != last) {
    line = std::string_view(first, static_cast<std::size_t>(lineEnd - first));
    begin_ = static_cast<std::size_t>(lineEnd - storage_.data()) + 1;
    return Next::line;
  }
  // No line end among the bytes held: keep the partial line at the front, with room behind it.
  const std::size_t held = end_ - begin_;
  if (begin_ > 0) {
    std::memmove(storage_.data(), first, held);
    std::memset(storage_.data() + held, 0, end_ - held);
    begin_ = 0;
    end_ = held;
  }
  return end_ == storage_.size() ? Next::overlong : Next::needMore;
}

std::span<char> AssuanLineBuffer::space() { return std::span<char>(storage_.data() + end_, storage_.size() - end_); }

void AssuanLineBuffer::commit(std::size_t count) { end_ += std::min(count, storage_.size() - end_); }

}  // namespace platform::tokenkit

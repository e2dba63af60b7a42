#include "platform/tokenkit/prompt/assuan_response.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

using Kind = AssuanResponse::Kind;

struct Parsed {
  Kind kind;
  std::string argument;
  std::uint32_t errorCode = 0;

  friend bool operator==(const Parsed&, const Parsed&) = default;
};

std::optional<Parsed> parsed(std::string_view line) {
  const auto response = parseAssuanResponse(line);
  if (!response) return std::nullopt;
  return Parsed{response->kind, std::string(response->argument), response->errorCode};
}

TEST(AssuanResponse, EachFormOfTheProtocolAndNothingElse) {
  const std::vector<std::pair<std::string, std::optional<Parsed>>> cases = {
      {"OK", Parsed{Kind::ok, ""}},
      {"OK Pleased to meet you", Parsed{Kind::ok, "Pleased to meet you"}},
      {"ERR 83886179 Operation cancelled <Pinentry>", Parsed{Kind::error, "83886179 Operation cancelled <Pinentry>", 83886179}},
      {"ERR 4294967295", Parsed{Kind::error, "4294967295", 4294967295u}},
      {"D 123456", Parsed{Kind::data, "123456"}},
      {"D ", Parsed{Kind::data, ""}},
      {"D 12%0A34 with spaces", Parsed{Kind::data, "12%0A34 with spaces"}},
      {std::string("D 12\0" "34", 7), Parsed{Kind::data, std::string("12\0" "34", 5)}},
      {"S PROGRESS 1 2", Parsed{Kind::status, "PROGRESS 1 2"}},
      {"# a comment", Parsed{Kind::comment, " a comment"}},
      {"#", Parsed{Kind::comment, ""}},
      {"INQUIRE QUALITY 123", Parsed{Kind::inquire, "QUALITY 123"}},
      {"", std::nullopt},
      {" OK", std::nullopt},
      {"ok", std::nullopt},
      {"OKAY", std::nullopt},
      {"OK\r", std::nullopt},
      {"D 123456\r", std::nullopt},
      {"D\r123", std::nullopt},
      {"D", std::nullopt},
      {"D123456", std::nullopt},
      {"ERR", std::nullopt},
      {"ERR ", std::nullopt},
      {"ERR cancelled", std::nullopt},
      {"ERR -1 negative", std::nullopt},
      {"ERR +1 signed", std::nullopt},
      {"ERR 4294967296 too large", std::nullopt},
      {"ERR 12x", std::nullopt},
      {"S", std::nullopt},
      {"S ", std::nullopt},
      {"INQUIRE", std::nullopt},
      {"END", std::nullopt},
      {"CAN", std::nullopt},
      {"PIN 123456", std::nullopt},
      {"Pleased to meet you", std::nullopt},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(parsed(line), expected) << line;
}

// Feeds the chunks into a buffer the way the prompt reads a socket and collects what comes out.
struct Split {
  std::vector<std::string> lines;
  bool overlong = false;
};

Split split(const std::vector<std::string>& chunks) {
  AssuanLineBuffer buffer;
  Split result;
  for (const auto& chunk : chunks) {
    std::string_view rest = chunk;
    while (!rest.empty()) {
      std::string_view line;
      const auto next = buffer.next(line);
      if (next == AssuanLineBuffer::Next::overlong) {
        result.overlong = true;
        return result;
      }
      if (next == AssuanLineBuffer::Next::line) {
        result.lines.emplace_back(line);
        continue;
      }
      const auto space = buffer.space();
      const auto count = std::min(space.size(), rest.size());
      std::copy_n(rest.begin(), count, space.begin());
      buffer.commit(count);
      rest.remove_prefix(count);
    }
  }
  for (;;) {
    std::string_view line;
    const auto next = buffer.next(line);
    if (next == AssuanLineBuffer::Next::overlong) result.overlong = true;
    if (next != AssuanLineBuffer::Next::line) return result;
    result.lines.emplace_back(line);
  }
}

TEST(AssuanLineBuffer, CutsTheStreamIntoLinesOfAtMostTheLimit) {
  const std::string longest(assuanLineLimit - 1, 'x');  // with its LF, exactly the limit
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    bool overlong;
  };
  const std::vector<Case> cases = {
      {"one line", {"OK\n"}, {"OK"}, false},
      {"several in one chunk", {"# hi\nD 12\nOK\n"}, {"# hi", "D 12", "OK"}, false},
      {"a line over three chunks", {"D 1", "23", "456\nOK\n"}, {"D 123456", "OK"}, false},
      {"byte by byte", {"O", "K", "\n", "O", "K", "\n"}, {"OK", "OK"}, false},
      {"empty lines", {"\n\n"}, {"", ""}, false},
      {"no line end yet", {"OK"}, {}, false},
      {"the longest line", {longest + "\nOK\n"}, {longest, "OK"}, false},
      {"the longest line after others", {"# a\n# b\n", longest, "\n"}, {"# a", "# b", longest}, false},
      {"one byte over", {longest + "x\nOK\n"}, {}, true},
      {"over after a line", {"OK\n" + longest + "x"}, {"OK"}, true},
  };
  for (const auto& testCase : cases) {
    const auto result = split(testCase.chunks);
    EXPECT_EQ(result.lines, testCase.lines) << testCase.name;
    EXPECT_EQ(result.overlong, testCase.overlong) << testCase.name;
  }
}

}  // namespace
}  // namespace platform::tokenkit

#include "connection/sign_in/callback_request.hpp"

#include "connection/transport/connection_error.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

constexpr std::string_view target = "/callback?code=C0DE&state=S7ATE&iss=https%3A%2F%2Fid.example";
const std::string requestLine = "GET " + std::string(target) + " HTTP/1.1\r\n";
const std::string expectedURL = "http://localhost:53682" + std::string(target);

// The request line above, then the given header lines, then the blank line.
std::string request(const std::string& headers) { return requestLine + headers + "\r\n"; }

// A valid request padded with one more header to exactly `size` bytes.
std::string requestOfSize(std::size_t size) {
  const std::string head = requestLine + "Host: localhost:53682\r\nX-Pad: ";
  const std::string end = "\r\n\r\n";
  return head + std::string(size - head.size() - end.size(), 'p') + end;
}

std::optional<std::string> parsed(const std::string& text) {
  try {
    return std::string(parseCallbackRequest(platform::bytesOf(text)).buffer());
  } catch (const ConnectionError& error) {
    EXPECT_EQ(error, ConnectionError::invalidCallback) << error.what();
    return std::nullopt;
  }
}

struct Case {
  const char* name;
  std::string text;
  std::optional<std::string> url;
};

TEST(ParseCallbackRequest, AcceptsOnlyTheStrictFormOfTheRedirectRequest) {
  const std::vector<Case> cases = {
      // Accepted, and the URL is the loopback origin followed by the target as sent.
      {"only a host header", request("Host: localhost:53682\r\n"), expectedURL},
      {"header name in any letter case, blanks around the value", request("hOST:  \tlocalhost:53682\t \r\n"),
       expectedURL},
      {"other headers are free",
       request("User-Agent: Browser/1.0\r\nAccept: */*\r\nHost: localhost:53682\r\nX-Empty:\r\n"), expectedURL},
      {"a header name that is empty is just another header", request(": no name\r\nHost: localhost:53682\r\n"),
       expectedURL},
      {"a content length of zero", request("Host: localhost:53682\r\nContent-Length:  0 \r\n"), expectedURL},
      {"a lone LF stays inside its header line", request("X-Note: a\nHost: elsewhere\r\nHost: localhost:53682\r\n"),
       expectedURL},
      {"valid UTF-8 in a value", request("Host: localhost:53682\r\nX-Name: Zo\xC3\xAB \xF0\x9F\x94\x91\r\n"),
       expectedURL},
      {"an empty query", "GET /callback? HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       "http://localhost:53682/callback?"},
      {"escapes are kept as sent", "GET /callback?code=a%20b+c HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       "http://localhost:53682/callback?code=a%20b+c"},
      {"exactly 8192 bytes", requestOfSize(8192), expectedURL},

      // The frame of the request.
      {"nothing at all", "", std::nullopt},
      {"only the blank line", "\r\n\r\n", std::nullopt},
      {"no blank line", requestLine + "Host: localhost:53682\r\n", std::nullopt},
      {"lines ended by LF alone", "GET " + std::string(target) + " HTTP/1.1\nHost: localhost:53682\n\n", std::nullopt},
      {"request line ended by LF alone", "GET " + std::string(target) + " HTTP/1.1\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"blank line of a lone CR", requestLine + "Host: localhost:53682\r\n\r\r\n", std::nullopt},
      {"a body after the blank line", request("Host: localhost:53682\r\n") + "x", std::nullopt},
      {"a second request after the first", request("Host: localhost:53682\r\n") + request("Host: localhost:53682\r\n"),
       std::nullopt},
      {"8193 bytes", requestOfSize(8193), std::nullopt},

      // Strict UTF-8 over the whole head.
      {"a byte that is never UTF-8", request("Host: localhost:53682\r\nX-Bad: \xFF\r\n"), std::nullopt},
      {"an overlong form", request("Host: localhost:53682\r\nX-Bad: \xC0\xAF\r\n"), std::nullopt},
      {"a surrogate", request("Host: localhost:53682\r\nX-Bad: \xED\xA0\x80\r\n"), std::nullopt},
      {"a truncated sequence", request("Host: localhost:53682\r\nX-Bad: \xE2\x82\r\n"), std::nullopt},
      {"above U+10FFFF", request("Host: localhost:53682\r\nX-Bad: \xF4\x90\x80\x80\r\n"), std::nullopt},

      // The request line.
      {"method in lower case", "get " + std::string(target) + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"method POST", "POST " + std::string(target) + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"method HEAD", "HEAD " + std::string(target) + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"version 1.0", "GET " + std::string(target) + " HTTP/1.0\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"version 2", "GET " + std::string(target) + " HTTP/2\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"version in lower case", "GET " + std::string(target) + " http/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"no version", "GET " + std::string(target) + "\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"two spaces between parts", "GET  " + std::string(target) + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"a space after the version", "GET " + std::string(target) + " HTTP/1.1 \r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"a tab between parts", "GET\t" + std::string(target) + " HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"a target without the question mark", "GET /callback HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"a longer path", "GET /callbacks?code=1 HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"another path", "GET /other?code=1 HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"the path in another letter case", "GET /Callback?code=1 HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"the absolute form", "GET http://localhost:53682/callback?code=1 HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},
      {"a fragment", "GET /callback?code=1#top HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"an empty fragment", "GET /callback?code=1# HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"a malformed escape", "GET /callback?code=%zz HTTP/1.1\r\nHost: localhost:53682\r\n\r\n", std::nullopt},
      {"a character a URL cannot hold", "GET /callback?code=<x> HTTP/1.1\r\nHost: localhost:53682\r\n\r\n",
       std::nullopt},

      // The header lines.
      {"no header at all", requestLine + "\r\n", std::nullopt},
      {"no host header", request("Accept: */*\r\n"), std::nullopt},
      {"host by address", request("Host: 127.0.0.1:53682\r\n"), std::nullopt},
      {"host without the port", request("Host: localhost\r\n"), std::nullopt},
      {"host with another port", request("Host: localhost:53683\r\n"), std::nullopt},
      {"host with a leading zero in the port", request("Host: localhost:053682\r\n"), std::nullopt},
      {"host value in upper case", request("Host: LOCALHOST:53682\r\n"), std::nullopt},
      {"host value ending in a lone CR", request("Host: localhost:53682\r\r\n"), std::nullopt},
      {"a blank before the colon", request("Host : localhost:53682\r\n"), std::nullopt},
      {"host twice", request("Host: localhost:53682\r\nHost: localhost:53682\r\n"), std::nullopt},
      {"host twice in different case", request("Host: localhost:53682\r\nhost: localhost:53682\r\n"), std::nullopt},
      {"any other header twice", request("Host: localhost:53682\r\nAccept: a\r\nACCEPT: b\r\n"), std::nullopt},
      {"a line without a colon", request("Host: localhost:53682\r\nJust text\r\n"), std::nullopt},
      {"a folded line after a space", request("Host: localhost:53682\r\nX-A: a\r\n b: c\r\n"), std::nullopt},
      {"a folded line after a tab", request("Host: localhost:53682\r\nX-A: a\r\n\tb: c\r\n"), std::nullopt},
      {"a transfer encoding", request("Host: localhost:53682\r\nTransfer-Encoding: chunked\r\n"), std::nullopt},
      {"an empty transfer encoding", request("Host: localhost:53682\r\ntransfer-encoding:\r\n"), std::nullopt},
      {"a content length other than zero", request("Host: localhost:53682\r\nContent-Length: 5\r\n"), std::nullopt},
      {"a content length of 00", request("Host: localhost:53682\r\nContent-Length: 00\r\n"), std::nullopt},
      {"an empty content length", request("Host: localhost:53682\r\nContent-Length:\r\n"), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parsed(c.text), c.url) << c.name;
  }
}

}  // namespace
}  // namespace corvanta

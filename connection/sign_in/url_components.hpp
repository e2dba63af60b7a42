#pragma once

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {

// One item of a URL's query. An item written without '=' has no value; "name=" has the empty one.
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;

  friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

// An absolute URL taken apart the way the sign-in redirect is checked: every part that can be
// absent says so, and what is compared (host, path, query items) comes percent-decoded. Decoding
// can yield any bytes, invalid UTF-8 and NUL included; whoever compares them decides what to
// accept.
class URLComponents {
public:
  // The text as an absolute URL (RFC 3986 "URI": a scheme, then the rest), not resolved against
  // any base; none when it is not one, e.g. for a relative reference or a malformed '%' escape.
  static std::optional<URLComponents> parse(std::string_view text);

  // The scheme exactly as written, letter case kept.
  std::string scheme() const;
  // The host with its escapes decoded, letter case kept (an IP literal keeps its brackets); none
  // without an authority.
  std::optional<std::string> host() const;
  // None when there is no port, its digits are missing or the number exceeds 65535. Leading zeros
  // are allowed.
  std::optional<std::uint16_t> port() const;
  // An empty user ("http://@host") is present.
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  // The path with its escapes decoded: "/%63allback" is "/callback".
  std::string path() const;
  // An empty fragment ("...#") is present.
  std::optional<std::string> fragment() const;
  // The query's items in their order with names and values decoded, '+' kept as '+' (the query
  // of a URL is not a form body); none without a query, no items for an empty one.
  std::optional<std::vector<URLQueryItem>> queryItems() const;

  // The URL exactly as parsed.
  boost::urls::url_view url() const { return url_; }

private:
  explicit URLComponents(boost::urls::url_view url) : url_(url) {}

  boost::urls::url url_;
};

}  // namespace corvanta

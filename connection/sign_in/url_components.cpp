#include "connection/sign_in/url_components.hpp"

#include <boost/url/encoding_opts.hpp>
#include <boost/url/parse.hpp>

#include <utility>

namespace corvanta {

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
  const auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::nullopt;
  return URLComponents(*parsed);
}

std::string URLComponents::scheme() const { return std::string(url_.scheme()); }

std::optional<std::string> URLComponents::host() const {
  if (!url_.has_authority()) return std::nullopt;
  return url_.host();
}

std::optional<std::uint16_t> URLComponents::port() const {
  if (!url_.has_port()) return std::nullopt;
  // Boost's port_number() keeps only the low 16 bits, so "119218" would read as 53682: the digits
  // are counted here instead.
  const std::string_view digits = url_.port();
  if (digits.empty()) return std::nullopt;
  std::uint32_t number = 0;
  for (const char digit : digits) {
    number = number * 10 + static_cast<std::uint32_t>(digit - '0');
    if (number > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(number);
}

std::optional<std::string> URLComponents::user() const {
  if (!url_.has_userinfo()) return std::nullopt;
  return url_.user();
}

std::optional<std::string> URLComponents::password() const {
  if (!url_.has_password()) return std::nullopt;
  return url_.password();
}

std::string URLComponents::path() const { return url_.path(); }

std::optional<std::string> URLComponents::fragment() const {
  if (!url_.has_fragment()) return std::nullopt;
  return url_.fragment();
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
  if (!url_.has_query()) return std::nullopt;
  std::vector<URLQueryItem> items;
  // Boost sees one nameless item in "?"; an empty query has none.
  if (url_.encoded_query().empty()) return items;
  const boost::urls::encoding_opts plusIsPlus(/*space_as_plus=*/false);
  const boost::urls::url_view view = url_;
  for (const auto& param : view.params(plusIsPlus)) {
    URLQueryItem item{param.key, std::nullopt};
    if (param.has_value) item.value = param.value;
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace corvanta

#include "connection/sign_in/corvanta_endpoints.hpp"

#include <boost/url/parse.hpp>

#ifndef CORVANTA_ISSUER
#error "CORVANTA_ISSUER must be defined by the build"
#endif
#ifndef CORVANTA_API_ORIGIN
#error "CORVANTA_API_ORIGIN must be defined by the build"
#endif

namespace corvanta {
namespace {

// The build checks both configured values, so every literal below is an absolute https URL; a
// value that still fails to parse is a broken build and throws on first use.
boost::urls::url parsedURL(std::string_view literal) { return boost::urls::url(boost::urls::parse_absolute_uri(literal).value()); }

}  // namespace

std::string_view CorvantaEndpoints::issuer() { return CORVANTA_ISSUER; }

const boost::urls::url& CorvantaEndpoints::tokenURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_ISSUER "/protocol/openid-connect/token");
  return url;
}

const boost::urls::url& CorvantaEndpoints::userinfoURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_ISSUER "/protocol/openid-connect/userinfo");
  return url;
}

const boost::urls::url& CorvantaEndpoints::rolesURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_API_ORIGIN "/publicapi/v1/account/roles");
  return url;
}

const boost::urls::url& CorvantaEndpoints::billingURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_API_ORIGIN "/publicapi/v1/billing/me");
  return url;
}

const boost::urls::url& CorvantaEndpoints::certificatesURL() {
  static const boost::urls::url url = parsedURL(CORVANTA_API_ORIGIN "/publicapi/v1/account/certificates/active");
  return url;
}

}  // namespace corvanta

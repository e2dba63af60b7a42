#pragma once

#include <boost/url/url.hpp>

#include <string_view>

namespace corvanta {

// The addresses of the remote service, fixed when the program is built: the identity provider's
// issuer and the service API origin come from the build configuration (CORVANTA_ISSUER,
// CORVANTA_API_ORIGIN); everything else is constant. The identity provider and the service API are
// two different hosts.
struct CorvantaEndpoints {
  CorvantaEndpoints() = delete;

  // "https://", the identity provider's authority, then its realm path; never a trailing '/'. The
  // "iss" of a sign-in redirect must equal it byte for byte.
  static std::string_view issuer();

  // A public client: no client secret is ever sent.
  static constexpr std::string_view clientID = "corvanta-desktop";
  static constexpr std::string_view redirect = "http://localhost:53682/callback";

  // Each URL is parsed on first use, once, whichever thread asks first.
  static const boost::urls::url& tokenURL();
  static const boost::urls::url& userinfoURL();
  static const boost::urls::url& rolesURL();
  static const boost::urls::url& billingURL();
  static const boost::urls::url& certificatesURL();
};

}  // namespace corvanta

#pragma once

#include "platform/foundation/bytes.hpp"

#include <boost/url/url.hpp>

#include <cstddef>

namespace corvanta {

// The longest request head the loopback receiver reads, blank line included.
inline constexpr std::size_t maximumCallbackRequestByteCount = 8192;

// The callback URL of one HTTP request head sent by the browser to the loopback receiver:
// "http://localhost:53682" followed by the request target. Only the form of the request is
// checked here; whether the redirect belongs to the sign-in is for the attempt to say.
//
// Accepted: at most 8192 bytes of strict UTF-8 that end with the first CR LF CR LF (no body, no
// second request); lines split at CR LF only; the request line "GET /callback?... HTTP/1.1" with
// single spaces and no '#' in the target; header lines "name: value" with no folding, names
// compared without letter case and none given twice, values trimmed of spaces and tabs; at least
// one header, "host" exactly "localhost:53682", no "transfer-encoding", "content-length" only
// "0"; a target that makes a valid URL. Anything else throws ConnectionError::invalidCallback.
boost::urls::url parseCallbackRequest(platform::ByteView request);

}  // namespace corvanta
